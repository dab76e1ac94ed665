#pragma once

// The Windows platform's discovery side: the present interfaces of a class, their registry
// properties and the test-open, all through the SetupApi seam. Plain C++, so it is built and
// tested with a stand-in for the system on any machine; the pipes are Windows' own
// (overlapped_pipe.h) and come in as a function.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devlink/platform.h"
#include "win32/setupapi.h"

namespace kq::win32 {

// What a failed CreateFileA means for the user: no permission, busy, absent or other.
OpenResult OpenFailure(uint32_t error, const std::string& errorText);

// A pipe of the engine's driver kept open across transfers (for a hold).
class DriverPipe : public PipeHandle {
  public:
    // After a transfer that failed because the engine left the bus: the handle is dead.
    virtual bool EngineLeft() const = 0;
};

class SetupApiPlatform final : public DevicePlatform {
  public:
    using PipeOpener =
        std::function<std::unique_ptr<PipeHandle>(std::string_view pipePath, OpenResult* why)>;
    // Opens a pipe for as long as a hold lasts, shared with no other open.
    using HoldOpener =
        std::function<std::unique_ptr<DriverPipe>(std::string_view pipePath, OpenResult* why)>;

    // Without a pipe opener no pipe opens (tests of discovery need none); without a hold opener
    // HoldInterface holds nothing.
    explicit SetupApiPlatform(std::unique_ptr<SetupApi> api, PipeOpener openPipe = {},
                              HoldOpener openHeld = {});

    // Lists the interfaces and reads the detail record of each, in order, up to the first whose
    // details cannot be read: that one is listed with detailOk false, which ends every search.
    // The device list stays open while any entry of it lives, for ReadProperty. The place is the
    // device's location path (SPDRP_LOCATION_PATHS, the chain of ports from the root), else its
    // location information: both name the port, whatever device is plugged into it.
    std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) override;
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override;
    // Opens the interface for writing as the engine's driver expects and closes it at once; an
    // interface this process holds is not opened again.
    OpenResult TestOpen(const InterfaceEntry& entry) override;
    // Under a path this process holds, the held pipe; otherwise one opened for the transfer.
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;
    // Opens both pipes once, sharing them with no other open, and keeps them for every transfer
    // under the path until the last hold goes. Whether another program is then refused is the
    // driver's choice (it refuses where it enforces sharing). Once a transfer finds the engine
    // gone (it restarted), the hold covers the path no longer and the caller takes a new one.
    std::unique_ptr<InterfaceHold> HoldInterface(std::string_view interfacePath,
                                                 OpenResult* why) override;

    struct HeldPipes;

  private:
    std::shared_ptr<HeldPipes> LiveHold(std::string_view interfacePath);

    std::shared_ptr<SetupApi> api_;
    PipeOpener openPipe_;
    HoldOpener openHeld_;
    std::mutex mutex_;  // guards holds_
    std::map<std::string, std::weak_ptr<HeldPipes>, std::less<>> holds_;
};

}  // namespace kq::win32
