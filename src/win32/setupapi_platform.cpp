#include "win32/setupapi_platform.h"

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

SetupApiPlatform::SetupApiPlatform(std::unique_ptr<SetupApi> api, PipeOpener openPipe)
    : api_(std::move(api)), openPipe_(std::move(openPipe)) {}

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
    uint32_t error = 0;
    SetupApi::File file = api_->CreateFileA(entry.path, kGenericWrite, kFileShareRead, kOpenAlways,
                                            kFileFlagSequentialScan | kFileAttributeNormal, error);
    if (!file) return OpenFailure(error, api_->ErrorText(error));
    api_->CloseHandle(file);
    return {};
}

std::unique_ptr<PipeHandle> SetupApiPlatform::OpenPipe(std::string_view pipePath, OpenResult* why) {
    if (openPipe_) return openPipe_(pipePath, why);
    if (why) *why = {OpenError::Absent, "no pipes on this platform"};
    return nullptr;
}

}  // namespace kq::win32
