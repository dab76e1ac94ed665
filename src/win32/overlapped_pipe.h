#pragma once

#include <memory>
#include <string_view>

#include "devlink/platform.h"
#include "win32/setupapi_platform.h"

namespace kq::win32 {

// Opens one pipe of the engine's driver (the interface path, a backslash and the pipe name) for
// one transfer, for reading and writing and for overlapped I/O, so that a transfer can be given
// up when its deadline passes. Null, with why set, when the pipe cannot be opened (Windows
// builds only).
std::unique_ptr<PipeHandle> OpenOverlappedPipe(std::string_view pipePath, OpenResult* why);

// The same for a hold: shared with no other open (share mode 0), so that a driver that enforces
// sharing refuses other programs (ERROR_SHARING_VIOLATION, "busy") while it is open.
std::unique_ptr<DriverPipe> HoldOverlappedPipe(std::string_view pipePath, OpenResult* why);

}  // namespace kq::win32
