#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devlink/platform.h"
#include "devlink/sleeper.h"
#include "emulator/virtual_engine.h"

namespace kq {

// An in-process USB bus holding virtual engines: the device list, the pipes and the hotplug
// events of a machine with these engines plugged in.
class VirtualBus final : public DevicePlatform, public HotplugSource {
  public:
    // Knobs of one plugged engine that model what the system can get wrong around it.
    struct Slot {
        std::shared_ptr<VirtualEngine> engine;
        bool present = true;
        OpenError openError = OpenError::None;          // the test-open and pipes fail so
        std::optional<DeviceProperty> failingProperty;  // this property cannot be read
        bool detailFails = false;
        bool listAsEngineInterface = true;
        bool listAsUsbDevice = true;  // also appears as a USB device node
        int port = 0;                 // its place on the bus: 1 for the first engine plugged in
        // The next this many holds find the engine claimed by another program.
        int busyHolds = 0;
        // Holds of this process on it now; its leaving the bus ends them.
        int holders = 0;
        // Given at each arrival and kept until the next: the serial, or "&port_N" when another
        // engine present then already goes by that serial, as the system names a second device
        // of one serial. So a path never changes while the engine is there, and an engine that
        // restarts gets its old path back unless another took it meanwhile.
        std::string instance{};
        uint64_t arrivals = 0;
    };

    // The sleeper stands in for time passing while a read waits for an answer that never comes.
    explicit VirtualBus(Sleeper* sleeper = nullptr);
    ~VirtualBus() override;

    std::shared_ptr<VirtualEngine> Plug(EngineSettings settings = {});
    void Plug(std::shared_ptr<VirtualEngine> engine);
    void Unplug(const std::shared_ptr<VirtualEngine>& engine);
    void Replug(const std::shared_ptr<VirtualEngine>& engine);
    // Runs f on the slot of engine under the bus lock (to set its knobs).
    void Configure(const std::shared_ptr<VirtualEngine>& engine,
                   const std::function<void(Slot&)>& f);
    bool IsPresent(const std::shared_ptr<VirtualEngine>& engine);
    // Brings an engine that left for a restart back now, restarted (a test's cue in place of its
    // reboot time, e.g. for one set not to return by itself).
    void ReturnNow(const std::shared_ptr<VirtualEngine>& engine);
    // Holds of this process on the engine now (HoldInterface).
    int Holders(const std::shared_ptr<VirtualEngine>& engine);

    // The interface path of an engine that no other engine on the bus shares its serial with.
    static std::string EnginePath(const VirtualEngine& engine);

    // DevicePlatform
    std::vector<InterfaceEntry> ListInterfaces(const Guid& interfaceClass) override;
    std::optional<std::string> ReadProperty(const InterfaceEntry& entry,
                                            DeviceProperty property) override;
    OpenResult TestOpen(const InterfaceEntry& entry) override;
    std::unique_ptr<PipeHandle> OpenPipe(std::string_view pipePath, OpenResult* why) override;
    std::unique_ptr<InterfaceHold> HoldInterface(std::string_view interfacePath,
                                                 OpenResult* why) override;

    // HotplugSource
    void Start(Sink sink) override;
    void Stop() override;

    // Used by the bus's pipes.
    int32_t Deliver(const std::shared_ptr<VirtualEngine>& engine, const uint8_t* data,
                    uint32_t count);
    int32_t Collect(const std::shared_ptr<VirtualEngine>& engine, uint8_t* data, uint32_t count,
                    int timeoutMs);

    // Ends a hold taken by HoldInterface.
    void Release(const VirtualEngine* engine, uint64_t arrival);

  private:
    std::string PathOf(const Slot& slot, const Guid& interfaceClass) const;
    // Called with the bus locked.
    void Arrive(Slot& slot, std::unique_lock<std::mutex>& lock);
    void Leave(Slot& slot, std::unique_lock<std::mutex>& lock);
    Slot* Find(const VirtualEngine* engine);
    Slot* FindByPath(std::string_view path, bool* usbNode);
    void Emit(const Slot& slot, DeviceEventKind kind, std::unique_lock<std::mutex>& lock);
    void ScheduleReturn(const std::shared_ptr<VirtualEngine>& engine, int delayMs);
    void TimerLoop();

    std::mutex mutex_;
    std::vector<Slot> slots_;
    RealSleeper ownSleeper_;
    Sleeper* sleeper_;

    std::mutex sinkMutex_;
    Sink sink_;

    struct Due {
        std::chrono::steady_clock::time_point when;
        std::shared_ptr<VirtualEngine> engine;
    };
    std::vector<Due> due_;
    std::condition_variable timerWake_;
    std::thread timer_;
    bool stopping_ = false;
};

}  // namespace kq
