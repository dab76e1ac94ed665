#include "devlink/link.h"

#include <algorithm>
#include <vector>

namespace kq {

Transaction::Transaction(DeviceLink& link) : link_(&link), lock_(link.mutex_) {}

bool Transaction::SendFrame(std::span<const uint8_t> payload, int timeoutMs) {
    const auto frame = BuildFrame(payload);
    if (!frame) {
        link_->trace_.Note("frame refused: payload of " + std::to_string(payload.size()) +
                           " bytes");
        return false;
    }
    return PipeWrite(*frame, timeoutMs) == static_cast<int32_t>(frame->size());
}

bool Transaction::ReceiveFrame(std::span<uint8_t> answer, int timeoutMs) {
    if (answer.size() > kMaxPayload) return false;
    std::vector<uint8_t> frame(answer.size() + kFrameOverhead);
    if (PipeRead(frame, timeoutMs) != static_cast<int32_t>(frame.size())) return false;
    const auto payload = UnpackFrame(frame);
    if (!payload) return false;
    std::copy(payload->begin(), payload->end(), answer.begin());
    return true;
}

int32_t Transaction::PipeWrite(std::span<const uint8_t> data, int timeoutMs) {
    return link_->transport_.WriteToPipe(link_->DevicePath, kCommandPipe, data, timeoutMs);
}

int32_t Transaction::PipeRead(std::span<uint8_t> data, int timeoutMs) {
    return link_->transport_.ReadFromPipe(link_->DevicePath, kAnswerPipe, data, timeoutMs);
}

void Transaction::Delay(std::chrono::milliseconds duration) {
    if (duration.count() > 0) link_->sleeper_->SleepFor(duration);
}

DeviceLink::DeviceLink(DevicePlatform& platform, Sleeper* sleeper)
    : platform_(platform), sleeper_(sleeper ? sleeper : &ownSleeper_) {}

Transaction DeviceLink::Begin() {
    return Transaction(*this);
}

bool DeviceLink::FindDevice() {
    return Find(nullptr, nullptr);
}

bool DeviceLink::FindOnlyDevice(const DeviceFilter& also, EngineSighting* seen) {
    return Find(&also, seen);
}

bool DeviceLink::Find(const DeviceFilter* also, EngineSighting* seen) {
    std::lock_guard lock(mutex_);
    DeviceFilter filter = filter_;
    // A path may change with a restart (another engine may have taken its name meanwhile); the
    // place does not, so where a place narrows the search it stands for the path.
    if (also && !also->place.empty()) filter.path.clear();
    Discovery discovery(platform_, trace_, filter);
    std::string path;
    EngineSighting sighting;
    const bool found =
        also ? discovery.FindOnly(*also, path, sighting) : discovery.FindDevice(path);
    if (seen) *seen = sighting;
    lastDiscoveryError_ = discovery.lastDiscoveryError();
    lastDiscoveryDetail_ = discovery.lastDiscoveryDetail();
    if (found) {
        DevicePath = std::move(path);
        DeviceSerial = discovery.found().serial;
        DevicePlace = discovery.found().place;
    }
    return found;
}

OpenError DeviceLink::lastDiscoveryError() {
    std::lock_guard lock(mutex_);
    return lastDiscoveryError_;
}

std::string DeviceLink::lastDiscoveryDetail() {
    std::lock_guard lock(mutex_);
    return lastDiscoveryDetail_;
}

void DeviceLink::setFilter(DeviceFilter filter) {
    std::lock_guard lock(mutex_);
    filter_ = std::move(filter);
}

std::string DeviceLink::devicePath() {
    std::lock_guard lock(mutex_);
    return DevicePath;
}

std::string DeviceLink::deviceSerial() {
    std::lock_guard lock(mutex_);
    return DeviceSerial;
}

std::string DeviceLink::devicePlace() {
    std::lock_guard lock(mutex_);
    return DevicePlace;
}

void DeviceLink::setDevicePath(std::string path) {
    std::lock_guard lock(mutex_);
    DevicePath = std::move(path);
}

OpenResult DeviceLink::lastPipeOpen() {
    std::lock_guard lock(mutex_);
    return transport_.lastOpen();
}

std::unique_ptr<InterfaceHold> DeviceLink::HoldEngine(OpenResult* why) {
    std::lock_guard lock(mutex_);
    if (DevicePath.empty()) {
        if (why) *why = {OpenError::Absent, "no engine has been found"};
        return nullptr;
    }
    return platform_.HoldInterface(DevicePath, why);
}

}  // namespace kq
