#pragma once

// The pipe transport: one transfer of raw bytes on one pipe of one interface path. Each call
// opens the pipe, moves the bytes and closes it again, so a transfer always reaches the engine
// that discovery found last. It knows nothing of frames, and it takes no lock: the link's
// transaction decides the path and holds the lock around it.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "devlink/platform.h"
#include "devlink/trace.h"

namespace kq {

// Requests go out on the command pipe; answers come back on the answer pipe.
inline constexpr std::string_view kCommandPipe = "PIPE0";
inline constexpr std::string_view kAnswerPipe = "PIPE1";
// The longest pipe path: the interface path, a backslash and the pipe name.
inline constexpr size_t kMaxPipePath = 259;

class PipeTransport {
  public:
    PipeTransport(DevicePlatform& platform, WireTrace& trace)
        : platform_(platform), trace_(trace) {}

    // nullptr (and a trace note) when the pipe cannot be opened, the path is empty or too long.
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view devicePath, std::string_view pipeName);
    // The bytes moved, 0 when the pipe cannot be opened; timeoutMs is the transfer's deadline.
    // A write is flushed before its pipe is closed.
    int32_t WriteToPipe(std::string_view devicePath, std::string_view pipeName,
                        std::span<const uint8_t> data, int timeoutMs);
    int32_t ReadFromPipe(std::string_view devicePath, std::string_view pipeName,
                         std::span<uint8_t> data, int timeoutMs);

    // How the last pipe open went: after a failed exchange, whether the engine was busy (held by
    // another program), absent or refused to this user.
    const OpenResult& lastOpen() const { return lastOpen_; }

  private:
    DevicePlatform& platform_;
    WireTrace& trace_;
    OpenResult lastOpen_;
};

}  // namespace kq
