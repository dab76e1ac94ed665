#include "devlink/platform.h"

namespace kq {

const char* OpenErrorText(OpenError e) {
    switch (e) {
        case OpenError::None:
            return "ok";
        case OpenError::Absent:
            return "no engine";
        case OpenError::NoPermission:
            return "permission denied";
        case OpenError::Busy:
            return "busy (claimed by another program)";
        case OpenError::Other:
            return "cannot be opened";
    }
    return "?";
}

std::unique_ptr<InterfaceHold> DevicePlatform::HoldInterface(std::string_view, OpenResult* why) {
    if (why) *why = {};
    return std::make_unique<InterfaceHold>();
}

}  // namespace kq
