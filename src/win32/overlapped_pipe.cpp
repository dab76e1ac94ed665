#include "win32/overlapped_pipe.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "win32/setupapi_platform.h"
#include "win32/system_setupapi.h"

namespace kq::win32 {
namespace {

class OverlappedPipe final : public DriverPipe {
  public:
    explicit OverlappedPipe(HANDLE handle) : handle_(handle) {}
    ~OverlappedPipe() override { CloseHandle(handle_); }
    OverlappedPipe(const OverlappedPipe&) = delete;
    OverlappedPipe& operator=(const OverlappedPipe&) = delete;

    int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) override {
        return Transfer(true, const_cast<uint8_t*>(data), count, timeoutMs);
    }
    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        return Transfer(false, data, count, timeoutMs);
    }
    void Flush() override {
        if (!FlushFileBuffers(handle_)) error_ = "flush failed: " + SystemErrorText(GetLastError());
    }
    std::string LastTransferError() const override { return error_; }
    bool EngineLeft() const override { return left_; }

  private:
    // One WriteFile or ReadFile, waited for up to timeoutMs and cancelled after that. The count
    // is what the driver reports as moved, also for a transfer cut short.
    int32_t Transfer(bool write, uint8_t* data, uint32_t count, int timeoutMs) {
        error_.clear();
        left_ = false;
        const auto length = static_cast<DWORD>(std::min<uint32_t>(count, INT32_MAX));
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped.hEvent) {
            error_ = "no event for the transfer: " + SystemErrorText(GetLastError());
            return 0;
        }
        const BOOL started = write ? WriteFile(handle_, data, length, nullptr, &overlapped)
                                   : ReadFile(handle_, data, length, nullptr, &overlapped);
        DWORD error = started ? ERROR_SUCCESS : GetLastError();
        DWORD transferred = 0;
        bool cancelled = false;
        if (started || error == ERROR_IO_PENDING) {
            // A zero deadline would only poll; the shortest real wait is one millisecond.
            const DWORD wait = static_cast<DWORD>(std::max(timeoutMs, 1));
            if (!started && WaitForSingleObject(overlapped.hEvent, wait) != WAIT_OBJECT_0) {
                CancelIoEx(handle_, &overlapped);
                cancelled = true;
            }
            // Waits until the driver has given the request back, cancelled or not: only then are
            // the buffer and the record free, and the count final.
            error = GetOverlappedResult(handle_, &overlapped, &transferred, TRUE) ? ERROR_SUCCESS
                                                                                  : GetLastError();
        }
        CloseHandle(overlapped.hEvent);
        if (error == ERROR_SUCCESS) return static_cast<int32_t>(transferred);
        if (cancelled && error == ERROR_OPERATION_ABORTED) {
            error_ = "no transfer within " + std::to_string(std::max(timeoutMs, 1)) + " ms";
        } else if (error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
                   error == ERROR_BROKEN_PIPE || error == kErrorNoSuchDevice) {
            error_ = "the engine left during the transfer: " + SystemErrorText(error);
            left_ = true;
        } else {
            error_ = "transfer failed: " + SystemErrorText(error);
        }
        return static_cast<int32_t>(transferred);
    }

    HANDLE handle_;
    std::string error_;
    bool left_ = false;
};

std::unique_ptr<OverlappedPipe> Open(std::string_view pipePath, DWORD share, OpenResult* why) {
    const std::string path(pipePath);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (why) *why = OpenFailure(error, SystemErrorText(error) + " opening " + path);
        return nullptr;
    }
    if (why) *why = {};
    return std::make_unique<OverlappedPipe>(handle);
}

}  // namespace

std::unique_ptr<PipeHandle> OpenOverlappedPipe(std::string_view pipePath, OpenResult* why) {
    return Open(pipePath, FILE_SHARE_READ | FILE_SHARE_WRITE, why);
}

std::unique_ptr<DriverPipe> HoldOverlappedPipe(std::string_view pipePath, OpenResult* why) {
    return Open(pipePath, 0, why);
}

}  // namespace kq::win32
