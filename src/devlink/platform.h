#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devlink/guid.h"

namespace kq {

// Why an interface or a pipe could not be opened; told apart for the user's sake only.
enum class OpenError { None, Absent, NoPermission, Busy, Other };

const char* OpenErrorText(OpenError e);

struct OpenResult {
    OpenError error = OpenError::None;
    std::string detail;  // human-readable, for the wire trace and the command line

    bool ok() const { return error == OpenError::None; }
};

// The three device properties whose presence gates a search.
enum class DeviceProperty { Driver, LocationInformation, HardwareId };

// One present interface of a class, in the order the platform lists them.
struct InterfaceEntry {
    std::string path;      // Windows form: \\?\usb#vid_XXXX&pid_XXXX#INSTANCE#{class}
    bool detailOk = true;  // false when the interface's details could not be read
    // For listings and the engine filter; empty where the platform does not know them.
    std::string serial{};
    std::string location{};  // where it is plugged in, e.g. "bus 1 port 1.4"
    // The same place as a name that stays while the engine restarts on that port (its
    // application and its loader re-enumerate there) and that a shell takes unquoted: the bus
    // and port chain on Linux ("1-1.2"), the port on the virtual bus ("virtual-1"). Empty where
    // the platform cannot tell.
    std::string place{};
    // What the listing platform keeps for its own later calls on this entry (Windows: the device
    // list it came from, released with the last entry); empty elsewhere.
    std::shared_ptr<const void> platformData{};
};

// One opened pipe. Destroying it releases the endpoint: no handle outlives one transfer.
class PipeHandle {
  public:
    virtual ~PipeHandle() = default;
    // One transfer with timeoutMs as its deadline; returns the bytes moved (0 on failure).
    virtual int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) = 0;
    virtual int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) = 0;
    virtual void Flush() {}
    // Set after a transfer that failed for a reason worth telling (e.g. device gone).
    virtual std::string LastTransferError() const { return {}; }
};

// An interface kept claimed for this process (see DevicePlatform::HoldInterface). Destroying it
// gives the interface back.
class InterfaceHold {
  public:
    virtual ~InterfaceHold() = default;
};

// What discovery and the pipe transport need of the system.
class DevicePlatform {
  public:
    virtual ~DevicePlatform() = default;
    // Present interfaces of one class (a snapshot).
    virtual std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) = 0;
    // std::nullopt when the property cannot be read (the device vanished meanwhile).
    virtual std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                                    DeviceProperty property) = 0;
    // Can the interface be opened for writing right now? Closes again at once.
    virtual OpenResult TestOpen(const InterfaceEntry& entry) = 0;
    // pipePath is the interface path, a backslash and the pipe name ("PIPE0" or "PIPE1").
    virtual std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) = 0;
    // Keeps the interface at interfacePath claimed for this process until the hold is destroyed,
    // so that no other program can take it between two transfers (the upgrade holds it from its
    // first block to its final check); pipes this process opens under that path meanwhile use
    // the held claim. nullptr, with *why, when it cannot be taken (Busy: another program has
    // it). The default holds nothing, for platforms where that cannot be done.
    virtual std::unique_ptr<InterfaceHold> HoldInterface(std::string_view interfacePath,
                                                         OpenResult* why);
};

enum class DeviceEventKind { Arrival, Removal };

struct HotplugEvent {
    DeviceEventKind kind = DeviceEventKind::Arrival;
    Guid interfaceClass;
    std::string path;  // the same path on removal as on arrival
};

// Arrival and removal of device interfaces. The sink may be called on any thread; a consumer
// that owns a thread of its own (the window, the monitor command) hands the event over to it.
class HotplugSource {
  public:
    using Sink = std::function<void(const HotplugEvent&)>;
    virtual ~HotplugSource() = default;
    virtual void Start(Sink sink) = 0;
    // After Stop returns, the sink is not called again.
    virtual void Stop() = 0;
};

// A platform with nothing attached: the real backend's stand-in where none is available.
class EmptyPlatform final : public DevicePlatform {
  public:
    std::vector<InterfaceEntry> ListInterfaces(const Guid&) override { return {}; }
    std::optional<std::string> ReadProperty(const InterfaceEntry&, DeviceProperty) override {
        return std::nullopt;
    }
    OpenResult TestOpen(const InterfaceEntry&) override { return {OpenError::Absent, "no device"}; }
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view, OpenResult* why) override {
        if (why) *why = {OpenError::Absent, "no device"};
        return nullptr;
    }
};

}  // namespace kq
