#include "usb/backend.h"
#include "usb/libusb_platform.h"

namespace kq {

// Without usbfs (a container, say) libusb cannot start: that machine has no engine to offer.
std::unique_ptr<DevicePlatform> MakeSystemPlatform() {
    if (auto platform = LibusbPlatform::Create()) return platform;
    return std::make_unique<EmptyPlatform>();
}

std::unique_ptr<HotplugSource> MakeSystemHotplug() {
    return LibusbHotplug::Create();
}

}  // namespace kq
