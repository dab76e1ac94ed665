#include "devlink/transport.h"

#include <string>

namespace kq {

std::unique_ptr<PipeHandle> PipeTransport::OpenPipe(std::string_view devicePath,
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
    lastOpen_ = why;
    if (!pipe) {
        trace_.Note(std::string(pipeName) + " not opened: " + OpenErrorText(why.error) +
                    (why.detail.empty() ? "" : " (" + why.detail + ")"));
    }
    return pipe;
}

int32_t PipeTransport::WriteToPipe(std::string_view devicePath, std::string_view pipeName,
                                   std::span<const uint8_t> data, int timeoutMs) {
    const auto count = static_cast<uint32_t>(data.size());
    auto pipe = OpenPipe(devicePath, pipeName);
    if (!pipe) {
        trace_.Note("not sent: " + WireTrace::Hex(data.data(), count));
        return 0;
    }
    trace_.Written(data.data(), count);
    const int32_t written = pipe->Write(data.data(), count, timeoutMs);
    if (written != static_cast<int32_t>(count)) {
        const std::string error = pipe->LastTransferError();
        trace_.Note("wrote " + std::to_string(written) + " of " + std::to_string(count) + " bytes" +
                    (error.empty() ? "" : ": " + error));
    }
    pipe->Flush();
    return written;
}

int32_t PipeTransport::ReadFromPipe(std::string_view devicePath, std::string_view pipeName,
                                    std::span<uint8_t> data, int timeoutMs) {
    auto pipe = OpenPipe(devicePath, pipeName);
    if (!pipe) {
        trace_.Read(data.data(), 0);
        return 0;
    }
    const int32_t got = pipe->Read(data.data(), static_cast<uint32_t>(data.size()), timeoutMs);
    if (got <= 0) {
        const std::string error = pipe->LastTransferError();
        if (!error.empty()) trace_.Note(error);
    }
    trace_.Read(data.data(), got > 0 ? static_cast<size_t>(got) : 0);
    return got;
}

}  // namespace kq
