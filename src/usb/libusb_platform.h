#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devlink/platform.h"

struct libusb_context;
struct libusb_device;

namespace kq {
namespace libusb_detail {
struct Node;
struct EngineInterface;
}  // namespace libusb_detail

// Which device of a serial carries the serial's own path when several of that serial are about.
// An engine keeps its path while this process sees it, also while it restarts (it leaves and
// comes back at the same place): another engine of the same serial that was there meanwhile
// does not take it over. A device that arrives afterwards may take a path no present device
// holds. Thread-safe.
class PathBook {
  public:
    // Gives each node of one scan its paths.
    void Assign(std::vector<libusb_detail::Node>& nodes);

  private:
    struct Owner {
        std::string place;                 // where the engine with the serial's path was seen
        std::set<std::string> companions;  // the others of that serial present with it then
    };
    std::mutex mutex_;
    std::map<std::string, Owner> owners_;  // by vendor, product and serial
};

// The system's USB through libusb-1.0. Paths take the Windows form the discovery logic parses:
// the instance is the device's serial number, or "&port_B-P.P" for a device without a usable one
// and for a second device of the same serial (see PathBook). InterfaceEntry::place is the name
// sysfs gives the device ("1-1.2"), which stays while the engine restarts on that port.
class LibusbPlatform final : public DevicePlatform {
  public:
    // Null when libusb cannot be initialised (no usbfs, for instance).
    static std::unique_ptr<LibusbPlatform> Create(std::string* error = nullptr);
    ~LibusbPlatform() override;

    std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) override;
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override;
    OpenResult TestOpen(const InterfaceEntry& entry) override;
    // Under a path this process holds (HoldInterface), a pipe uses the held claim while the held
    // device is present; otherwise it opens the device and claims the interface for the one
    // transfer.
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;
    // Opens the device, detaches the kernel's driver where it is bound and claims the interface
    // once, until the last hold of it is destroyed. The hold belongs to the device it claimed:
    // once that device has left (the engine restarts into its loader or back, with a new device
    // number), its transfers fail and it covers the path no longer; the caller takes a new one.
    // A hold must not outlive the platform.
    std::unique_ptr<InterfaceHold> HoldInterface(std::string_view interfacePath,
                                                 OpenResult* why) override;

    // Interfaces this process has claimed, for its pipes and its holds.
    struct Claims;
    struct Claim;

  private:
    explicit LibusbPlatform(libusb_context* context);
    std::shared_ptr<Claim> ClaimInterface(const libusb_detail::Node& node,
                                          const libusb_detail::EngineInterface& iface,
                                          OpenResult& result);
    bool StillListed(libusb_device* device);
    // The claim of a live hold of this process at the path, while its device is present.
    std::shared_ptr<Claim> HeldClaim(std::string_view interfacePath);
    // Claims whatever is at the path now.
    std::shared_ptr<Claim> ClaimAt(std::string_view interfacePath, OpenResult& result);

    libusb_context* context_;
    std::shared_ptr<Claims> claims_;
    PathBook book_;
};

// Arrival and removal of USB devices and of their printer-class interfaces. Libusb's hotplug
// callback only queues; a thread of this source runs libusb's events and calls the sink. Where
// the system has no hotplug support the thread compares the device list once a second instead.
class LibusbHotplug final : public HotplugSource {
  public:
    enum class Mode { Automatic, Polling };

    static std::unique_ptr<LibusbHotplug> Create(Mode mode = Mode::Automatic,
                                                 std::string* error = nullptr);
    ~LibusbHotplug() override;

    // The devices present at Start give no events; their removal does.
    void Start(Sink sink) override;
    // Must not be called from within the sink.
    void Stop() override;

    bool polling() const { return polling_; }

  private:
    LibusbHotplug(libusb_context* context, bool polling);
    void EventLoop();
    void PollLoop();
    void Arrived(libusb_device* device, bool announce);
    void ArrivedAll(bool announce);  // every device not yet known, from one scan
    void Remember(const libusb_detail::Node& node, bool announce);
    void Removed(libusb_device* device);
    void Drain();
    void Emit(const std::vector<HotplugEvent>& events);
    static int OnHotplug(libusb_context*, libusb_device* device, int event, void* self);

    libusb_context* context_;
    const bool polling_;
    Sink sink_;
    std::thread thread_;
    bool registered_ = false;
    int callbackHandle_ = 0;

    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    bool stopping_ = false;
    struct Queued {
        libusb_device* device;
        bool arrival;
    };
    std::deque<Queued> queue_;
    // Only the source's thread touches this once started; each device is held by one reference.
    std::map<libusb_device*, std::vector<HotplugEvent>> known_;
    PathBook book_;
};

}  // namespace kq
