#pragma once

// The Windows platform's discovery side: the present interfaces of a class, their registry
// properties and the test-open, all through the SetupApi seam. Plain C++, so it is built and
// tested with a stand-in for the system on any machine; the pipes are Windows' own
// (overlapped_pipe.h) and come in as a function.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devlink/platform.h"
#include "win32/setupapi.h"

namespace kq::win32 {

// What a failed CreateFileA means for the user: no permission, busy, absent or other.
OpenResult OpenFailure(uint32_t error, const std::string& errorText);

class SetupApiPlatform final : public DevicePlatform {
  public:
    using PipeOpener =
        std::function<std::unique_ptr<PipeHandle>(std::string_view pipePath, OpenResult* why)>;

    // Without a pipe opener no pipe opens (tests of discovery need none).
    explicit SetupApiPlatform(std::unique_ptr<SetupApi> api, PipeOpener openPipe = {});

    // Lists the interfaces and reads the detail record of each, in order, up to the first whose
    // details cannot be read: that one is listed with detailOk false, which ends every search.
    // The device list stays open while any entry of it lives, for ReadProperty.
    std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) override;
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override;
    // Opens the interface for writing as the engine's driver expects and closes it at once.
    OpenResult TestOpen(const InterfaceEntry& entry) override;
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;

  private:
    std::shared_ptr<SetupApi> api_;
    PipeOpener openPipe_;
};

}  // namespace kq::win32
