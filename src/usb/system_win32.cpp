#include "usb/backend.h"
#include "win32/device_notifications.h"
#include "win32/overlapped_pipe.h"
#include "win32/setupapi_platform.h"
#include "win32/system_setupapi.h"

namespace kq {

// Discovery through SetupAPI, transfers on the driver's pipes, events from WM_DEVICECHANGE.
std::unique_ptr<DevicePlatform> MakeSystemPlatform() {
    return std::make_unique<win32::SetupApiPlatform>(
        win32::MakeSystemSetupApi(), win32::OpenOverlappedPipe, win32::HoldOverlappedPipe);
}

std::unique_ptr<HotplugSource> MakeSystemHotplug() {
    return std::make_unique<win32::DeviceNotificationSource>();
}

}  // namespace kq
