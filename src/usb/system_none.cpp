#include "usb/backend.h"

namespace kq {

std::unique_ptr<DevicePlatform> MakeSystemPlatform() {
    return std::make_unique<EmptyPlatform>();
}
std::unique_ptr<HotplugSource> MakeSystemHotplug() {
    return nullptr;
}

}  // namespace kq
