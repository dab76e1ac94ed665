#include "win32/setupapi_platform.h"

#include <atomic>

#include "devlink/discovery.h"

namespace kq::win32 {
namespace {

// One device list, destroyed when the last entry listed from it goes.
struct ListHolder {
    ListHolder(std::shared_ptr<SetupApi> owner, SetupApi::DeviceList handle)
        : api(std::move(owner)), list(handle) {}
    ~ListHolder() { api->SetupDiDestroyDeviceInfoList(list); }
    ListHolder(const ListHolder&) = delete;
    ListHolder& operator=(const ListHolder&) = delete;

    std::shared_ptr<SetupApi> api;
    SetupApi::DeviceList list;
};

// What an entry keeps: its list and its device record, for the property reads.
struct EntryRecord {
    std::shared_ptr<const ListHolder> holder;
    SetupApi::DeviceData device;
};

uint32_t PropertyCode(DeviceProperty property) {
    switch (property) {
        case DeviceProperty::Driver:
            return kSpdrpDriver;
        case DeviceProperty::LocationInformation:
            return kSpdrpLocationInformation;
        case DeviceProperty::HardwareId:
            return kSpdrpHardwareId;
    }
    return kSpdrpHardwareId;
}

// The instance part of an interface path is the device's serial number when it has one; the
// instances Windows makes up for devices without one contain '&'.
std::string SerialOf(const std::string& path) {
    std::string instance;
    ExtractInstance(path, instance);
    return instance.find('&') == std::string::npos ? instance : std::string();
}

// "PIPE0" is 0 and "PIPE1" is 1; -1 for any other name. The path is what comes before.
int SplitPipePath(std::string_view pipePath, std::string_view& interfacePath) {
    const size_t sep = pipePath.rfind('\\');
    if (sep == std::string_view::npos) return -1;
    interfacePath = pipePath.substr(0, sep);
    const std::string_view name = pipePath.substr(sep + 1);
    return name == "PIPE0" ? 0 : name == "PIPE1" ? 1 : -1;
}

}  // namespace

// The two pipes of a held interface, open until the last hold and borrowed pipe go.
struct SetupApiPlatform::HeldPipes {
    std::unique_ptr<DriverPipe> pipes[2];
    std::atomic<bool> engineLeft{false};
};

namespace {

using HeldPipes = SetupApiPlatform::HeldPipes;

class BorrowedPipe final : public PipeHandle {
  public:
    BorrowedPipe(std::shared_ptr<HeldPipes> held, int which)
        : held_(std::move(held)), pipe_(*held_->pipes[which]) {}

    int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) override {
        return Noted(pipe_.Write(data, count, timeoutMs));
    }
    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        return Noted(pipe_.Read(data, count, timeoutMs));
    }
    void Flush() override { pipe_.Flush(); }
    std::string LastTransferError() const override { return pipe_.LastTransferError(); }

  private:
    int32_t Noted(int32_t moved) {
        if (pipe_.EngineLeft()) held_->engineLeft = true;
        return moved;
    }

    std::shared_ptr<HeldPipes> held_;
    DriverPipe& pipe_;
};

class SetupApiHold final : public InterfaceHold {
  public:
    explicit SetupApiHold(std::shared_ptr<HeldPipes> held) : held_(std::move(held)) {}

  private:
    std::shared_ptr<HeldPipes> held_;
};

}  // namespace

std::string SetupApi::ErrorText(uint32_t error) {
    return "error " + std::to_string(error);
}

OpenResult OpenFailure(uint32_t error, const std::string& errorText) {
    switch (error) {
        case kErrorAccessDenied:
            return {OpenError::NoPermission, errorText};
        case kErrorSharingViolation:
        case kErrorBusy:
        case kErrorPipeBusy:
            return {OpenError::Busy, errorText};
        case kErrorFileNotFound:
        case kErrorPathNotFound:
        case kErrorDevNotExist:
        case kErrorNoSuchDevice:
        case kErrorDeviceNotConnected:
            return {OpenError::Absent, errorText};
        default:
            return {OpenError::Other, errorText};
    }
}

SetupApiPlatform::SetupApiPlatform(std::unique_ptr<SetupApi> api, PipeOpener openPipe,
                                   HoldOpener openHeld)
    : api_(std::move(api)), openPipe_(std::move(openPipe)), openHeld_(std::move(openHeld)) {}

std::vector<InterfaceEntry> SetupApiPlatform::ListInterfaces(const Guid& interfaceClass) {
    std::vector<InterfaceEntry> entries;
    SetupApi::DeviceList list =
        api_->SetupDiGetClassDevsA(interfaceClass, kDigcfPresent | kDigcfDeviceInterface);
    if (!list) return entries;
    const auto holder = std::make_shared<const ListHolder>(api_, list);
    for (uint32_t index = 0;; ++index) {
        SetupApi::InterfaceData iface{};
        if (!api_->SetupDiEnumDeviceInterfaces(list, interfaceClass, index, iface)) break;
        // Only the size is wanted; the call reports a failure for want of a buffer.
        const uint32_t size = api_->SetupDiGetDeviceInterfaceDetailA(list, iface);
        InterfaceEntry entry;
        SetupApi::DeviceData device{};
        const auto detail =
            api_->SetupDiGetDeviceInterfaceDetailA(list, iface, size, entry.path, device);
        if (detail == SetupApi::DetailResult::NoMemory) continue;
        if (detail == SetupApi::DetailResult::Failed) {
            entry.path.clear();
            entry.detailOk = false;
            entries.push_back(std::move(entry));
            break;
        }
        entry.serial = SerialOf(entry.path);
        // Not one of the properties that gate a search: one that cannot be read leaves the
        // place unknown.
        if (!api_->SetupDiGetDeviceRegistryPropertyA(list, device, kSpdrpLocationPaths,
                                                     entry.place) &&
            !api_->SetupDiGetDeviceRegistryPropertyA(list, device, kSpdrpLocationInformation,
                                                     entry.place)) {
            entry.place.clear();
        }
        entry.platformData = std::make_shared<const EntryRecord>(EntryRecord{holder, device});
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::string> SetupApiPlatform::ReadProperty(const InterfaceEntry& entry,
                                                          DeviceProperty property) {
    const auto* record = static_cast<const EntryRecord*>(entry.platformData.get());
    if (!record) return std::nullopt;
    std::string value;
    const ListHolder& holder = *record->holder;
    if (!holder.api->SetupDiGetDeviceRegistryPropertyA(holder.list, record->device,
                                                       PropertyCode(property), value)) {
        return std::nullopt;
    }
    return value;
}

OpenResult SetupApiPlatform::TestOpen(const InterfaceEntry& entry) {
    if (LiveHold(entry.path)) return {};
    uint32_t error = 0;
    SetupApi::File file = api_->CreateFileA(entry.path, kGenericWrite, kFileShareRead, kOpenAlways,
                                            kFileFlagSequentialScan | kFileAttributeNormal, error);
    if (!file) return OpenFailure(error, api_->ErrorText(error));
    api_->CloseHandle(file);
    return {};
}

std::shared_ptr<HeldPipes> SetupApiPlatform::LiveHold(std::string_view interfacePath) {
    std::shared_ptr<HeldPipes> held;
    {
        std::lock_guard lock(mutex_);
        if (auto it = holds_.find(interfacePath); it != holds_.end()) held = it->second.lock();
    }
    if (held && held->engineLeft) held.reset();
    return held;
}

std::unique_ptr<PipeHandle> SetupApiPlatform::OpenPipe(std::string_view pipePath, OpenResult* why) {
    std::string_view interfacePath;
    const int which = SplitPipePath(pipePath, interfacePath);
    if (which >= 0) {
        if (auto held = LiveHold(interfacePath)) {
            if (why) *why = {};
            return std::make_unique<BorrowedPipe>(std::move(held), which);
        }
    }
    if (openPipe_) return openPipe_(pipePath, why);
    if (why) *why = {OpenError::Absent, "no pipes on this platform"};
    return nullptr;
}

std::unique_ptr<InterfaceHold> SetupApiPlatform::HoldInterface(std::string_view interfacePath,
                                                               OpenResult* why) {
    if (!openHeld_) return DevicePlatform::HoldInterface(interfacePath, why);
    if (auto held = LiveHold(interfacePath)) {
        if (why) *why = {};
        return std::make_unique<SetupApiHold>(std::move(held));
    }
    auto held = std::make_shared<HeldPipes>();
    for (int which = 0; which < 2; ++which) {
        const std::string pipePath =
            std::string(interfacePath) + (which == 0 ? "\\PIPE0" : "\\PIPE1");
        held->pipes[which] = openHeld_(pipePath, why);
        // A pipe opened already closes with held.
        if (!held->pipes[which]) return nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        std::erase_if(holds_, [](const auto& entry) { return entry.second.expired(); });
        holds_[std::string(interfacePath)] = held;
    }
    if (why) *why = {};
    return std::make_unique<SetupApiHold>(std::move(held));
}

}  // namespace kq::win32
