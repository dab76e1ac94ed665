#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "win32/setupapi.h"

namespace kq::win32 {

// The SetupApi seam over the system's setupapi.dll and kernel32.dll (Windows builds only).
std::unique_ptr<SetupApi> MakeSystemSetupApi();

// FormatMessage's text for a GetLastError code, with the code.
std::string SystemErrorText(uint32_t error);

}  // namespace kq::win32
