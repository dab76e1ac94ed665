#include "win32/device_notifications.h"

// dbt.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "win32/guid_conversion.h"

namespace kq::win32 {

namespace {
constexpr char kWindowClass[] = "kq7300-device-notifications";
}

struct WindowAccess {
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self =
            reinterpret_cast<DeviceNotificationSource*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        switch (message) {
            case WM_DEVICECHANGE:
                if (self && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
                    self->Deliver(wParam == DBT_DEVICEARRIVAL,
                                  reinterpret_cast<const void*>(lParam));
                }
                return TRUE;
            case WM_CLOSE:
                // The thread unregisters and destroys the window once its loop has ended.
                PostQuitMessage(0);
                return 0;
            default:
                return DefWindowProcA(window, message, wParam, lParam);
        }
    }
};

DeviceNotificationSource::DeviceNotificationSource(std::vector<Guid> classes)
    : classes_(std::move(classes)) {}

DeviceNotificationSource::~DeviceNotificationSource() {
    Stop();
}

void DeviceNotificationSource::Start(Sink sink) {
    Stop();
    sink_ = std::move(sink);
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] { Run(ready); });
    started.wait();
}

void DeviceNotificationSource::Stop() {
    if (!thread_.joinable()) return;
    if (window_) PostMessageA(static_cast<HWND>(window_), WM_CLOSE, 0, 0);
    thread_.join();
    window_ = nullptr;
    registrations_ = 0;
    sink_ = nullptr;
}

void DeviceNotificationSource::Run(std::promise<void>& ready) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    static std::once_flag registered;
    std::call_once(registered, [instance] {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowAccess::Procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kWindowClass;
        RegisterClassExA(&windowClass);
    });
    HWND window =
        CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (!window) {
        ready.set_value();
        return;
    }
    std::vector<HDEVNOTIFY> notifications;
    for (const Guid& interfaceClass : classes_) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = ToGuid(interfaceClass);
        if (HDEVNOTIFY n =
                RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)) {
            notifications.push_back(n);
        }
    }
    window_ = window;
    registrations_ = static_cast<int>(notifications.size());
    ready.set_value();

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);

    for (HDEVNOTIFY n : notifications) UnregisterDeviceNotification(n);
    DestroyWindow(window);
}

void DeviceNotificationSource::Deliver(bool arrival, const void* broadcast) {
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(broadcast);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    const auto* iface = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(broadcast);
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    const size_t room = header->dbch_size > kNameAt ? header->dbch_size - kNameAt : 0;
    HotplugEvent event;
    event.kind = arrival ? DeviceEventKind::Arrival : DeviceEventKind::Removal;
    event.interfaceClass = FromGuid(iface->dbcc_classguid);
    event.path.assign(iface->dbcc_name, strnlen(iface->dbcc_name, room));
    if (std::find(classes_.begin(), classes_.end(), event.interfaceClass) == classes_.end()) return;
    if (sink_) sink_(event);
}

}  // namespace kq::win32
