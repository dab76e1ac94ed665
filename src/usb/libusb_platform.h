#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devlink/platform.h"

struct libusb_context;
struct libusb_device;

namespace kq {
namespace libusb_detail {
struct Node;
}

// The system's USB through libusb-1.0. Paths take the Windows form the discovery logic parses:
// the instance is the device's serial number, or "&port_B-P.P" for a device without a usable one.
class LibusbPlatform final : public DevicePlatform {
  public:
    // Null when libusb cannot be initialised (no usbfs, for instance).
    static std::unique_ptr<LibusbPlatform> Create(std::string* error = nullptr);
    ~LibusbPlatform() override;

    std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) override;
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override;
    OpenResult TestOpen(const InterfaceEntry& entry) override;
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;

    // Interfaces this process has claimed through its open pipes.
    struct Claims;

  private:
    explicit LibusbPlatform(libusb_context* context);
    libusb_context* context_;
    std::shared_ptr<Claims> claims_;
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
};

}  // namespace kq
