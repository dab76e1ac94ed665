#pragma once

// The device link, in four parts a newcomer can read one at a time:
//   codec.h      the wire format: frames, CRC, little-endian fields (pure; the virtual engine
//                uses it too)
//   transport.h  one transfer on one pipe of one path, opened and closed per transfer
//   link.h       this file: DeviceLink, the one link per process with its lock, and the
//                Transaction that holds that lock for one exchange
//   commands.h   the engine's operations (SetLedCurrent ... QueryDeviceMode), one transaction
//                each
// and discovery.h, which DeviceLink::FindDevice runs to find the engine's path.
//
// Who calls what: windows, command line and upgrade use CommandSet and DeviceLink::FindDevice;
// transactions are opened by CommandSet (and by tests that put odd bytes on the wire); only a
// transaction calls the transport.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "devlink/codec.h"
#include "devlink/discovery.h"
#include "devlink/platform.h"
#include "devlink/sleeper.h"
#include "devlink/trace.h"
#include "devlink/transport.h"

namespace kq {

class DeviceLink;

// Sole use of the link for one exchange: it holds the link's lock from DeviceLink::Begin() until
// it is destroyed, so nothing of another thread comes between a request and its answer (or a
// block write and its read-back), and DevicePath stays the same throughout. While it lives, its
// thread must not call the link's other locking members (FindDevice, devicePath, ...).
class Transaction {
  public:
    Transaction(Transaction&&) noexcept = default;
    Transaction& operator=(Transaction&&) noexcept = default;

    // True when the whole frame carrying payload was written.
    bool SendFrame(std::span<const uint8_t> payload, int timeoutMs);
    // True when a valid frame with exactly answer.size() payload bytes arrived; only then is
    // answer written.
    bool ReceiveFrame(std::span<uint8_t> answer, int timeoutMs);
    // Raw transfers on the command and answer pipes of DevicePath: the bytes moved.
    int32_t PipeWrite(std::span<const uint8_t> data, int timeoutMs);
    int32_t PipeRead(std::span<uint8_t> data, int timeoutMs);
    // A wait that belongs to the exchange, e.g. the engine's time to store a block before it is
    // read back. Sleeps with the lock held.
    void Delay(std::chrono::milliseconds duration);

  private:
    friend class DeviceLink;
    explicit Transaction(DeviceLink& link);

    DeviceLink* link_;
    std::unique_lock<std::mutex> lock_;
};

// The one link to the engine: the platform it talks through, the wire trace, the sleeper for
// its waits, DevicePath and DevicePresent. One plain mutex, held by one Transaction or one
// FindDevice at a time.
class DeviceLink {
  public:
    explicit DeviceLink(DevicePlatform& platform, Sleeper* sleeper = nullptr);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    DevicePlatform& platform() { return platform_; }
    WireTrace& trace() { return trace_; }
    Sleeper& sleeper() { return *sleeper_; }

    // Waits until no other transaction runs.
    [[nodiscard]] Transaction Begin();

    // Runs discovery and, only when it finds the engine, stores its path in DevicePath. Holds
    // the lock throughout, so no transfer runs while interfaces are test-opened.
    bool FindDevice();
    // FindDevice narrowed for this one call by `also` as well as by the link's filter, storing
    // the engine only when it is the one that passes (Discovery::FindOnly; with no place in
    // `also`, only the one engine listed at all). A place in `also` stands for the filter's
    // path, which a restart may change. The upgrade finds its engine again with the place it had
    // before its restart. seen, when given, says what else the search saw.
    bool FindOnlyDevice(const DeviceFilter& also, EngineSighting* seen = nullptr);
    // Why the last FindDevice found no usable engine (see Discovery).
    OpenError lastDiscoveryError();
    std::string lastDiscoveryDetail();

    // Narrows FindDevice to one engine (the command line's --serial / --path); the window never
    // sets one, so there the first engine found is taken.
    void setFilter(DeviceFilter filter);

    std::string devicePath();
    // The serial and the place (InterfaceEntry::place) of the engine FindDevice found last.
    std::string deviceSerial();
    std::string devicePlace();
    // For tests and tools that already know the path; FindDevice is the usual writer.
    void setDevicePath(std::string path);

    // Keeps the engine at DevicePath claimed for this process (DevicePlatform::HoldInterface).
    std::unique_ptr<InterfaceHold> HoldEngine(OpenResult* why);

    // How the last pipe open of a transaction went (PipeTransport::lastOpen), so that a failed
    // command can tell "busy" from "no answer".
    OpenResult lastPipeOpen();

    // 1 while an engine is known to be attached: set and cleared by the presence checks, read by
    // QueryDeviceMode. Atomic, because those run on different threads than the upgrade.
    std::atomic<int> DevicePresent{0};

  private:
    friend class Transaction;

    bool Find(const DeviceFilter* also, EngineSighting* seen);

    DevicePlatform& platform_;
    RealSleeper ownSleeper_;
    Sleeper* sleeper_;
    WireTrace trace_;
    PipeTransport transport_{platform_, trace_};
    std::mutex mutex_;
    // Guarded by mutex_: read at the start of every transfer, replaced by a successful search.
    std::string DevicePath;
    std::string DeviceSerial;
    std::string DevicePlace;
    DeviceFilter filter_;
    OpenError lastDiscoveryError_ = OpenError::Absent;
    std::string lastDiscoveryDetail_;
};

}  // namespace kq
