#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "devlink/codec.h"
#include "devlink/platform.h"
#include "devlink/sleeper.h"
#include "devlink/trace.h"

namespace kq {

inline constexpr uint32_t kEngineVendorId = 0xC251;
inline constexpr uint32_t kEngineProductId = 0x1706;
inline constexpr const char* kEngineInstance = "0002a0000000";
// DevicePath holds at most this many characters; the pipe path adds "\PIPEn".
inline constexpr size_t kMaxDevicePath = 259;
inline constexpr size_t kMaxPipePath = 259;

// The one link to the engine: the platform it talks through, the wire trace, DevicePath and
// DevicePresent. One transaction (a request and its answer) holds the lock from first byte to
// last, and DevicePath is replaced under the same lock.
class DeviceLink {
  public:
    explicit DeviceLink(DevicePlatform& platform, Sleeper* sleeper = nullptr);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    DevicePlatform& platform() { return platform_; }
    WireTrace& trace() { return trace_; }
    Sleeper& sleeper() { return *sleeper_; }
    std::recursive_mutex& mutex() { return mutex_; }

    std::string devicePath();
    void setDevicePath(const std::string& path);

    // Frames
    bool SendFrame(const uint8_t* payload, uint32_t length, int timeoutMs);
    bool ReceiveFrame(uint8_t* answer, uint32_t length, int timeoutMs);

    // Commands
    bool Transact(uint8_t code, const uint8_t* args, uint32_t argLength, uint8_t* answer,
                  uint32_t answerLength, int timeoutMs);
    bool SetLedCurrent(uint8_t value);
    bool GetLedCurrent(uint8_t& out);
    bool SetLedSwitch(uint8_t on);
    bool SetPower(bool on);
    bool SetFlip(uint8_t x, uint8_t y);
    bool GetProductId(uint8_t* out);  // 8 bytes
    bool StartLoader();
    uint32_t GetBlockSize();
    bool ReadBlock(uint32_t address, uint32_t length, uint8_t* out);
    bool WriteBlockVerified(uint32_t address, uint32_t length, const uint8_t* data);
    bool FinishUpgrade();
    bool GetMode(uint8_t* out);  // 3 bytes
    DeviceMode QueryDeviceMode();

    void DelayMicroseconds(uint32_t us);
    void DelayMilliseconds(uint32_t ms);

    // Pipes
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view devicePath, std::string_view pipeName);
    int32_t WriteToPipe(std::string_view devicePath, std::string_view pipeName, const uint8_t* data,
                        uint32_t count, int timeoutMs);
    int32_t ReadFromPipe(std::string_view devicePath, std::string_view pipeName, uint8_t* data,
                         uint32_t count, int timeoutMs);
    int32_t PipeWrite(const uint8_t* data, uint32_t count, int timeoutMs);
    int32_t PipeRead(uint8_t* data, uint32_t count, int timeoutMs);

    // Discovery
    bool FindDevice();
    int EnumerateInterfaces(const Guid& interfaceClass, uint32_t vendorId, uint32_t productId,
                            const char* instance, const char* altInstance, std::string& outPath,
                            int relaxed);

    // The most telling reason the last FindDevice found no usable engine: Absent when none was
    // seen, else why the best candidate could not be opened.
    OpenError lastDiscoveryError() const { return lastDiscoveryError_; }
    const std::string& lastDiscoveryDetail() const { return lastDiscoveryDetail_; }

    // Process-wide state, as named throughout the program. DevicePath: read it through
    // devicePath() from other threads.
    std::string DevicePath;
    std::atomic<int> DevicePresent{0};

  private:
    void NoteOpenFailure(const OpenResult& why);

    DevicePlatform& platform_;
    RealSleeper ownSleeper_;
    Sleeper* sleeper_;
    WireTrace trace_;
    std::recursive_mutex mutex_;
    OpenError lastDiscoveryError_ = OpenError::Absent;
    std::string lastDiscoveryDetail_;
};

// Pure helpers of discovery and framing.
void ParseVidPid(std::string_view path, uint32_t& vendorId, uint32_t& productId);
void ExtractInstance(std::string_view path, std::string& out);
bool MatchVidPid(std::string_view path, uint32_t vendorId, uint32_t productId);
// The Windows-form path every backend reports.
std::string MakeInterfacePath(uint16_t vendorId, uint16_t productId, std::string_view instance,
                              const Guid& interfaceClass);
std::string FormatProductId(const uint8_t* id);  // "0A-1B-2C-3D-4E-5F"

}  // namespace kq
