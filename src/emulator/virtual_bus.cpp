#include "emulator/virtual_bus.h"

#include <algorithm>
#include <cstdio>

#include "devlink/discovery.h"

namespace kq {
namespace {

class VirtualPipe final : public PipeHandle {
  public:
    VirtualPipe(VirtualBus& bus, std::shared_ptr<VirtualEngine> engine, bool requestPipe)
        : bus_(bus), engine_(std::move(engine)), requestPipe_(requestPipe) {}

    int32_t Write(const uint8_t* data, uint32_t count, int) override {
        if (!requestPipe_) return 0;
        const int32_t n = bus_.Deliver(engine_, data, count);
        if (n != static_cast<int32_t>(count)) error_ = "engine left during the transfer";
        return n;
    }

    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        if (requestPipe_) return 0;
        const int32_t n = bus_.Collect(engine_, data, count, timeoutMs);
        if (n == 0) error_ = "no answer within " + std::to_string(timeoutMs) + " ms";
        return n;
    }

    std::string LastTransferError() const override { return error_; }

  private:
    VirtualBus& bus_;
    std::shared_ptr<VirtualEngine> engine_;
    bool requestPipe_;
    std::string error_;
};

}  // namespace

VirtualBus::VirtualBus(Sleeper* sleeper) : sleeper_(sleeper ? sleeper : &ownSleeper_) {}

VirtualBus::~VirtualBus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    if (timer_.joinable()) timer_.join();
}

std::string VirtualBus::EnginePath(const VirtualEngine& engine) {
    const auto& s = engine.settings();
    return MakeInterfacePath(s.vid, s.pid, s.serial, EngineInterfaceClass);
}

std::string VirtualBus::PathOf(const Slot& slot, const Guid& interfaceClass) const {
    const auto& s = slot.engine->settings();
    return MakeInterfacePath(s.vid, s.pid, slot.instance, interfaceClass);
}

void VirtualBus::Arrive(Slot& slot, std::unique_lock<std::mutex>& lock) {
    slot.instance = slot.engine->settings().serial;
    for (const Slot& other : slots_) {
        if (&other != &slot && other.present && other.instance == slot.instance) {
            slot.instance = "&port_" + std::to_string(slot.port);
            break;
        }
    }
    slot.present = true;
    ++slot.arrivals;
    Emit(slot, DeviceEventKind::Arrival, lock);
}

void VirtualBus::Leave(Slot& slot, std::unique_lock<std::mutex>& lock) {
    slot.present = false;
    slot.holders = 0;
    Emit(slot, DeviceEventKind::Removal, lock);
}

std::shared_ptr<VirtualEngine> VirtualBus::Plug(EngineSettings settings) {
    auto engine = std::make_shared<VirtualEngine>(std::move(settings));
    Plug(engine);
    return engine;
}

void VirtualBus::Plug(std::shared_ptr<VirtualEngine> engine) {
    std::unique_lock lock(mutex_);
    Slot slot;
    slot.engine = std::move(engine);
    slot.port = static_cast<int>(slots_.size()) + 1;
    slot.present = false;
    slots_.push_back(std::move(slot));
    Arrive(slots_.back(), lock);
}

void VirtualBus::Unplug(const std::shared_ptr<VirtualEngine>& engine) {
    std::unique_lock lock(mutex_);
    Slot* slot = Find(engine.get());
    if (!slot || !slot->present) return;
    Leave(*slot, lock);
}

void VirtualBus::Replug(const std::shared_ptr<VirtualEngine>& engine) {
    std::unique_lock lock(mutex_);
    Slot* slot = Find(engine.get());
    if (!slot || slot->present) return;
    Arrive(*slot, lock);
}

void VirtualBus::ReturnNow(const std::shared_ptr<VirtualEngine>& engine) {
    std::unique_lock lock(mutex_);
    Slot* slot = Find(engine.get());
    if (!slot || slot->present) return;
    engine->Restart();
    Arrive(*slot, lock);
}

int VirtualBus::Holders(const std::shared_ptr<VirtualEngine>& engine) {
    std::lock_guard lock(mutex_);
    const Slot* slot = Find(engine.get());
    return slot ? slot->holders : 0;
}

void VirtualBus::Configure(const std::shared_ptr<VirtualEngine>& engine,
                           const std::function<void(Slot&)>& f) {
    std::lock_guard lock(mutex_);
    if (Slot* slot = Find(engine.get())) f(*slot);
}

bool VirtualBus::IsPresent(const std::shared_ptr<VirtualEngine>& engine) {
    std::lock_guard lock(mutex_);
    const Slot* slot = Find(engine.get());
    return slot && slot->present;
}

VirtualBus::Slot* VirtualBus::Find(const VirtualEngine* engine) {
    for (Slot& slot : slots_) {
        if (slot.engine.get() == engine) return &slot;
    }
    return nullptr;
}

VirtualBus::Slot* VirtualBus::FindByPath(std::string_view path, bool* usbNode) {
    for (Slot& slot : slots_) {
        if (!slot.present) continue;
        if (slot.listAsEngineInterface && PathOf(slot, EngineInterfaceClass) == path) {
            if (usbNode) *usbNode = false;
            return &slot;
        }
        if (slot.listAsUsbDevice && PathOf(slot, GUID_DEVINTERFACE_USB_DEVICE) == path) {
            if (usbNode) *usbNode = true;
            return &slot;
        }
    }
    return nullptr;
}

// Called with the bus locked; hands the events to the sink without holding the bus lock, so a
// sink may look at the bus again.
void VirtualBus::Emit(const Slot& slot, DeviceEventKind kind, std::unique_lock<std::mutex>& lock) {
    std::vector<HotplugEvent> events;
    HotplugEvent node{kind, GUID_DEVINTERFACE_USB_DEVICE,
                      PathOf(slot, GUID_DEVINTERFACE_USB_DEVICE)};
    HotplugEvent iface{kind, EngineInterfaceClass, PathOf(slot, EngineInterfaceClass)};
    if (kind == DeviceEventKind::Arrival) {
        events = {node, iface};
    } else {
        events = {iface, node};
    }
    lock.unlock();
    {
        std::lock_guard sinkLock(sinkMutex_);
        if (sink_) {
            for (const auto& e : events) sink_(e);
        }
    }
    lock.lock();
}

std::vector<InterfaceEntry> VirtualBus::ListInterfaces(const Guid& interfaceClass) {
    std::lock_guard lock(mutex_);
    std::vector<InterfaceEntry> entries;
    for (const Slot& slot : slots_) {
        if (!slot.present) continue;
        const bool listed = interfaceClass == EngineInterfaceClass ? slot.listAsEngineInterface
                            : interfaceClass == GUID_DEVINTERFACE_USB_DEVICE ? slot.listAsUsbDevice
                                                                             : false;
        if (!listed) continue;
        // Named as a USB backend names them: the serial and the place on the bus.
        entries.push_back({PathOf(slot, interfaceClass), !slot.detailFails,
                           slot.engine->settings().serial,
                           "virtual bus port " + std::to_string(slot.port),
                           "virtual-" + std::to_string(slot.port)});
    }
    return entries;
}

std::optional<std::string> VirtualBus::ReadProperty(const InterfaceEntry& entry,
                                                    DeviceProperty property) {
    std::lock_guard lock(mutex_);
    const Slot* slot = FindByPath(entry.path, nullptr);
    if (!slot || slot->failingProperty == property) return std::nullopt;
    switch (property) {
        case DeviceProperty::Driver:
            return "virtual-engine";
        case DeviceProperty::LocationInformation:
            return "virtual bus";
        case DeviceProperty::HardwareId: {
            char id[32];
            std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", slot->engine->settings().vid,
                          slot->engine->settings().pid);
            return id;
        }
    }
    return std::nullopt;
}

OpenResult VirtualBus::TestOpen(const InterfaceEntry& entry) {
    std::lock_guard lock(mutex_);
    const Slot* slot = FindByPath(entry.path, nullptr);
    if (!slot) return {OpenError::Absent, "no such device"};
    if (slot->openError != OpenError::None) return {slot->openError, "virtual engine set so"};
    return {};
}

std::unique_ptr<PipeHandle> VirtualBus::OpenPipe(std::string_view pipePath, OpenResult* why) {
    const size_t sep = pipePath.rfind('\\');
    const std::string_view name = sep == std::string_view::npos ? "" : pipePath.substr(sep + 1);
    const std::string_view device = pipePath.substr(0, sep == std::string_view::npos ? 0 : sep);
    std::lock_guard lock(mutex_);
    bool usbNode = false;
    Slot* slot = FindByPath(device, &usbNode);
    OpenResult result;
    if (!slot || usbNode || (name != "PIPE0" && name != "PIPE1")) {
        result = {OpenError::Absent, "no engine at " + std::string(pipePath)};
    } else if (slot->openError != OpenError::None) {
        result = {slot->openError, "virtual engine set so"};
    }
    if (why) *why = result;
    if (!result.ok()) return nullptr;
    return std::make_unique<VirtualPipe>(*this, slot->engine, name == "PIPE0");
}

namespace {

class VirtualHold final : public InterfaceHold {
  public:
    VirtualHold(VirtualBus& bus, std::shared_ptr<VirtualEngine> engine, uint64_t arrival)
        : bus_(bus), engine_(std::move(engine)), arrival_(arrival) {}
    ~VirtualHold() override { bus_.Release(engine_.get(), arrival_); }

  private:
    VirtualBus& bus_;
    std::shared_ptr<VirtualEngine> engine_;
    uint64_t arrival_;
};

}  // namespace

std::unique_ptr<InterfaceHold> VirtualBus::HoldInterface(std::string_view interfacePath,
                                                         OpenResult* why) {
    std::lock_guard lock(mutex_);
    bool usbNode = false;
    Slot* slot = FindByPath(interfacePath, &usbNode);
    OpenResult result;
    if (!slot || usbNode) {
        result = {OpenError::Absent, "no engine at " + std::string(interfacePath)};
    } else if (slot->openError != OpenError::None) {
        result = {slot->openError, "virtual engine set so"};
    } else if (slot->busyHolds > 0) {
        --slot->busyHolds;
        result = {OpenError::Busy, "virtual engine set so"};
    }
    if (why) *why = result;
    if (!result.ok()) return nullptr;
    ++slot->holders;
    return std::make_unique<VirtualHold>(*this, slot->engine, slot->arrivals);
}

void VirtualBus::Release(const VirtualEngine* engine, uint64_t arrival) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(engine);
    // A hold of an earlier arrival ended when the engine left.
    if (slot && slot->arrivals == arrival && slot->holders > 0) --slot->holders;
}

int32_t VirtualBus::Deliver(const std::shared_ptr<VirtualEngine>& engine, const uint8_t* data,
                            uint32_t count) {
    std::unique_lock lock(mutex_);
    Slot* slot = Find(engine.get());
    if (!slot || !slot->present) return 0;
    const VirtualEngine::Effect effect = engine->Receive(data, count);
    if (effect == VirtualEngine::Effect::None) return static_cast<int32_t>(count);
    const bool enteringLoader = engine->mode() == EngineMode::App;
    Leave(*slot, lock);
    if (effect == VirtualEngine::Effect::Unplug) return 0;
    const EngineSettings& settings = engine->settings();
    if (!(enteringLoader ? settings.noReturn : settings.noReturnAfterFinish)) {
        lock.unlock();
        ScheduleReturn(engine, engine->settings().rebootMs);
    }
    return static_cast<int32_t>(count);
}

int32_t VirtualBus::Collect(const std::shared_ptr<VirtualEngine>& engine, uint8_t* data,
                            uint32_t count, int timeoutMs) {
    {
        std::lock_guard lock(mutex_);
        Slot* slot = Find(engine.get());
        if (slot && slot->present) {
            const auto answer = engine->TakeAnswer(count);
            if (!answer.empty()) {
                std::copy(answer.begin(), answer.end(), data);
                return static_cast<int32_t>(answer.size());
            }
        }
    }
    // Answers are prepared as the request arrives, so none now means none within the deadline.
    if (timeoutMs > 0) sleeper_->SleepFor(std::chrono::milliseconds(timeoutMs));
    return 0;
}

void VirtualBus::ScheduleReturn(const std::shared_ptr<VirtualEngine>& engine, int delayMs) {
    std::unique_lock lock(mutex_);
    if (delayMs <= 0) {
        engine->Restart();
        if (Slot* slot = Find(engine.get())) Arrive(*slot, lock);
        return;
    }
    due_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), engine});
    if (!timer_.joinable()) timer_ = std::thread([this] { TimerLoop(); });
    timerWake_.notify_all();
}

void VirtualBus::TimerLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            timerWake_.wait(lock);
            continue;
        }
        auto next = std::min_element(due_.begin(), due_.end(),
                                     [](const Due& a, const Due& b) { return a.when < b.when; });
        // A copy: another restart queued during the wait may move due_'s elements.
        const auto when = next->when;
        if (std::chrono::steady_clock::now() < when) {
            timerWake_.wait_until(lock, when);
            continue;
        }
        auto engine = next->engine;
        due_.erase(next);
        // An engine brought back meanwhile (ReturnNow) does not restart again.
        Slot* slot = Find(engine.get());
        if (!slot || slot->present) continue;
        engine->Restart();
        Arrive(*slot, lock);
    }
}

void VirtualBus::Start(Sink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

void VirtualBus::Stop() {
    std::lock_guard lock(sinkMutex_);
    sink_ = nullptr;
}

}  // namespace kq
