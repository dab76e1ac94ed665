#pragma once

#include <future>
#include <thread>
#include <vector>

#include "devlink/guid.h"
#include "devlink/platform.h"

namespace kq::win32 {

// Arrival and removal of device interfaces of the engine's class and of USB device nodes, as
// WM_DEVICECHANGE brings them to a message-only window that a thread of this source owns
// (Windows builds only). The sink is called on that thread.
class DeviceNotificationSource final : public HotplugSource {
  public:
    explicit DeviceNotificationSource(std::vector<Guid> classes = {EngineInterfaceClass,
                                                                   GUID_DEVINTERFACE_USB_DEVICE});
    ~DeviceNotificationSource() override;
    DeviceNotificationSource(const DeviceNotificationSource&) = delete;
    DeviceNotificationSource& operator=(const DeviceNotificationSource&) = delete;

    // Returns once the window is registered for notifications (or could not be made).
    void Start(Sink sink) override;
    // Ends the thread and waits for it. Must not be called from within the sink.
    void Stop() override;

    // The window (an HWND) while started, null otherwise: tests send it notifications as the
    // system would.
    void* window() const { return window_; }
    // How many of the classes the system accepted a registration for.
    int registrations() const { return registrations_; }

  private:
    void Run(std::promise<void>& ready);
    void Deliver(bool arrival, const void* broadcast);
    friend struct WindowAccess;

    std::vector<Guid> classes_;
    Sink sink_;
    std::thread thread_;
    void* window_ = nullptr;
    int registrations_ = 0;
};

}  // namespace kq::win32
