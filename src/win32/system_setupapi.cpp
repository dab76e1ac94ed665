#include "win32/system_setupapi.h"

// setupapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "win32/guid_conversion.h"

namespace kq::win32 {

static_assert(kDigcfPresent == DIGCF_PRESENT && kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE);
static_assert(kSpdrpHardwareId == SPDRP_HARDWAREID && kSpdrpDriver == SPDRP_DRIVER &&
              kSpdrpLocationInformation == SPDRP_LOCATION_INFORMATION &&
              kSpdrpLocationPaths == SPDRP_LOCATION_PATHS);
static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ && kFileShareWrite == FILE_SHARE_WRITE);
static_assert(kOpenExisting == OPEN_EXISTING && kOpenAlways == OPEN_ALWAYS);
static_assert(kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL &&
              kFileFlagSequentialScan == FILE_FLAG_SEQUENTIAL_SCAN &&
              kFileFlagOverlapped == FILE_FLAG_OVERLAPPED);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
              kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kErrorAccessDenied == ERROR_ACCESS_DENIED &&
              kErrorSharingViolation == ERROR_SHARING_VIOLATION &&
              kErrorDevNotExist == ERROR_DEV_NOT_EXIST && kErrorBusy == ERROR_BUSY &&
              kErrorPipeBusy == ERROR_PIPE_BUSY &&
              kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);

namespace {

SP_DEVICE_INTERFACE_DATA ToSystem(const SetupApi::InterfaceData& iface) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    data.InterfaceClassGuid = ToGuid(iface.interfaceClass);
    data.Flags = iface.flags;
    data.Reserved = iface.reserved;
    return data;
}

SP_DEVINFO_DATA ToSystem(const SetupApi::DeviceData& device) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    data.ClassGuid = ToGuid(device.classGuid);
    data.DevInst = device.devInst;
    data.Reserved = device.reserved;
    return data;
}

class SystemSetupApi final : public SetupApi {
  public:
    DeviceList SetupDiGetClassDevsA(const Guid& interfaceClass, uint32_t flags) override {
        const GUID guid = ToGuid(interfaceClass);
        HDEVINFO list = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
        return list == INVALID_HANDLE_VALUE ? nullptr : list;
    }

    bool SetupDiEnumDeviceInterfaces(DeviceList list, const Guid& interfaceClass, uint32_t index,
                                     InterfaceData& iface) override {
        const GUID guid = ToGuid(interfaceClass);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(list, nullptr, &guid, index, &data)) return false;
        iface.interfaceClass = FromGuid(data.InterfaceClassGuid);
        iface.flags = data.Flags;
        iface.reserved = data.Reserved;
        return true;
    }

    uint32_t SetupDiGetDeviceInterfaceDetailA(DeviceList list,
                                              const InterfaceData& iface) override {
        SP_DEVICE_INTERFACE_DATA data = ToSystem(iface);
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr);
        return required;
    }

    DetailResult SetupDiGetDeviceInterfaceDetailA(DeviceList list, const InterfaceData& iface,
                                                  uint32_t recordSize, std::string& path,
                                                  DeviceData& device) override {
        // A size below the record's fixed part means the size query failed; the record could
        // not even hold its size field, and the call with it would fail the same way.
        if (recordSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return DetailResult::Failed;
        auto* record = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, recordSize));
        if (!record) return DetailResult::NoMemory;
        record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVICE_INTERFACE_DATA data = ToSystem(iface);
        SP_DEVINFO_DATA deviceData{};
        deviceData.cbSize = sizeof deviceData;
        const bool ok = ::SetupDiGetDeviceInterfaceDetailA(list, &data, record, recordSize, nullptr,
                                                           &deviceData);
        if (ok) {
            const size_t room =
                recordSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            path.assign(record->DevicePath, strnlen(record->DevicePath, room));
            device.classGuid = FromGuid(deviceData.ClassGuid);
            device.devInst = deviceData.DevInst;
            device.reserved = deviceData.Reserved;
        }
        std::free(record);
        return ok ? DetailResult::Ok : DetailResult::Failed;
    }

    bool SetupDiGetDeviceRegistryPropertyA(DeviceList list, const DeviceData& device,
                                           uint32_t property, std::string& value) override {
        SP_DEVINFO_DATA data = ToSystem(device);
        char buffer[kPropertyBufferSize] = {};
        if (!::SetupDiGetDeviceRegistryPropertyA(list, &data, property, nullptr,
                                                 reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                                 nullptr)) {
            return false;
        }
        // A multi-string (the hardware ids) gives its first string.
        value.assign(buffer, strnlen(buffer, sizeof buffer));
        return true;
    }

    void SetupDiDestroyDeviceInfoList(DeviceList list) override {
        ::SetupDiDestroyDeviceInfoList(list);
    }

    File CreateFileA(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t flagsAndAttributes, uint32_t& error) override {
        HANDLE file = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                                    flagsAndAttributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = ::GetLastError();
            return nullptr;
        }
        return file;
    }

    void CloseHandle(File file) override { ::CloseHandle(file); }

    std::string ErrorText(uint32_t error) override { return SystemErrorText(error); }
};

}  // namespace

std::unique_ptr<SetupApi> MakeSystemSetupApi() {
    return std::make_unique<SystemSetupApi>();
}

// In the user's language, as UTF-8 like every text the program prints.
std::string SystemErrorText(uint32_t error) {
    wchar_t text[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, static_cast<DWORD>(std::size(text)), nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                     text[n - 1] == L'.')) {
        --n;
    }
    const std::string code = "error " + std::to_string(error);
    if (n == 0) return code;
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), utf8.data(), size, nullptr, nullptr);
    return utf8 + " (" + code + ")";
}

}  // namespace kq::win32
