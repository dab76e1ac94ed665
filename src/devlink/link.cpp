#include "devlink/link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

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

DeviceLink::DeviceLink(DevicePlatform& platform, Sleeper* sleeper)
    : platform_(platform), sleeper_(sleeper ? sleeper : &ownSleeper_) {}

std::string DeviceLink::devicePath() {
    std::lock_guard lock(mutex_);
    return DevicePath;
}

void DeviceLink::setDevicePath(const std::string& path) {
    std::lock_guard lock(mutex_);
    DevicePath = path;
}

bool DeviceLink::SendFrame(const uint8_t* payload, uint32_t length, int timeoutMs) {
    if (payload == nullptr) return false;
    if (length > kMaxPayload) {
        trace_.Note("frame refused: payload of " + std::to_string(length) + " bytes");
        return false;
    }
    const auto frame = BuildFrame({payload, length});
    const auto total = static_cast<uint32_t>(frame->size());
    return PipeWrite(frame->data(), total, timeoutMs) == static_cast<int32_t>(total);
}

bool DeviceLink::ReceiveFrame(uint8_t* answer, uint32_t length, int timeoutMs) {
    if (answer == nullptr || length > kMaxPayload) return false;
    const uint32_t total = length + 4;
    std::vector<uint8_t> frame(total);
    const int32_t got = PipeRead(frame.data(), total, timeoutMs);
    if (got != static_cast<int32_t>(total)) return false;
    const auto unpacked = UnpackFrame(frame);
    if (!unpacked) return false;
    std::copy(unpacked->begin(), unpacked->end(), answer);
    return true;
}

std::unique_ptr<PipeHandle> DeviceLink::OpenPipe(std::string_view devicePath,
                                                 std::string_view pipeName) {
    OpenResult why;
    std::unique_ptr<PipeHandle> pipe;
    if (devicePath.empty()) {
        why = {OpenError::Absent, "no engine has been found"};
    } else if (devicePath.size() + 1 + pipeName.size() > kMaxPipePath) {
        why = {OpenError::Other, "interface path too long"};
    } else {
        std::string pipePath(devicePath);
        pipePath += '\\';
        pipePath += pipeName;
        pipe = platform_.OpenPipe(pipePath, &why);
    }
    if (!pipe) {
        trace_.Note(std::string(pipeName) + " not opened: " + OpenErrorText(why.error) +
                    (why.detail.empty() ? "" : " (" + why.detail + ")"));
    }
    return pipe;
}

int32_t DeviceLink::WriteToPipe(std::string_view devicePath, std::string_view pipeName,
                                const uint8_t* data, uint32_t count, int timeoutMs) {
    auto pipe = OpenPipe(devicePath, pipeName);
    if (!pipe) {
        trace_.Note("not sent: " + WireTrace::Hex(data, count));
        return 0;
    }
    trace_.Written(data, count);
    const int32_t written = pipe->Write(data, count, timeoutMs);
    if (written != static_cast<int32_t>(count)) {
        const std::string error = pipe->LastTransferError();
        trace_.Note("wrote " + std::to_string(written) + " of " + std::to_string(count) + " bytes" +
                    (error.empty() ? "" : ": " + error));
    }
    pipe->Flush();
    return written;
}

int32_t DeviceLink::ReadFromPipe(std::string_view devicePath, std::string_view pipeName,
                                 uint8_t* data, uint32_t count, int timeoutMs) {
    auto pipe = OpenPipe(devicePath, pipeName);
    if (!pipe) {
        trace_.Read(data, 0);
        return 0;
    }
    const int32_t got = pipe->Read(data, count, timeoutMs);
    if (got <= 0) {
        const std::string error = pipe->LastTransferError();
        if (!error.empty()) trace_.Note(error);
    }
    trace_.Read(data, got > 0 ? static_cast<size_t>(got) : 0);
    return got;
}

int32_t DeviceLink::PipeWrite(const uint8_t* data, uint32_t count, int timeoutMs) {
    std::lock_guard lock(mutex_);
    return WriteToPipe(DevicePath, "PIPE0", data, count, timeoutMs);
}

int32_t DeviceLink::PipeRead(uint8_t* data, uint32_t count, int timeoutMs) {
    std::lock_guard lock(mutex_);
    return ReadFromPipe(DevicePath, "PIPE1", data, count, timeoutMs);
}

void DeviceLink::DelayMicroseconds(uint32_t us) {
    if (us == 0) return;
    sleeper_->SleepFor(std::chrono::microseconds(us));
}

void DeviceLink::DelayMilliseconds(uint32_t ms) {
    DelayMicroseconds((ms & 0xFFFF) * 1000u);
}

std::string FormatProductId(const uint8_t* id) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                  id[4], id[5]);
    return text;
}

}  // namespace kq
