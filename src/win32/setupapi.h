#pragma once

// The Windows calls that discovery makes, behind a seam: each member is the Windows function of
// the same name, reduced to what discovery passes and gets back, so that tests can stand in for
// the system on any machine. system_setupapi.cpp forwards them to Windows.

#include <cstdint>
#include <string>

#include "devlink/guid.h"

namespace kq::win32 {

// The values of the Windows constants involved; the Windows build checks them against its
// headers.
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;

inline constexpr uint32_t kSpdrpHardwareId = 0x01;
inline constexpr uint32_t kSpdrpDriver = 0x09;
inline constexpr uint32_t kSpdrpLocationInformation = 0x0D;
inline constexpr uint32_t kSpdrpLocationPaths = 0x23;

inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kFileShareRead = 0x01;
inline constexpr uint32_t kFileShareWrite = 0x02;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kOpenAlways = 4;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint32_t kFileFlagSequentialScan = 0x08000000;
inline constexpr uint32_t kFileFlagOverlapped = 0x40000000;

inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorDevNotExist = 55;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorPipeBusy = 231;
inline constexpr uint32_t kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, missing in mingw-w64
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

// Every property is read into a buffer of this size.
inline constexpr uint32_t kPropertyBufferSize = 2048;

class SetupApi {
  public:
    // HDEVINFO and HANDLE; nullptr stands for INVALID_HANDLE_VALUE.
    using DeviceList = void*;
    using File = void*;
    // SP_DEVICE_INTERFACE_DATA and SP_DEVINFO_DATA without their size fields.
    struct InterfaceData {
        Guid interfaceClass;
        uint32_t flags = 0;
        uintptr_t reserved = 0;
    };
    struct DeviceData {
        Guid classGuid;
        uint32_t devInst = 0;
        uintptr_t reserved = 0;
    };
    enum class DetailResult { Ok, NoMemory, Failed };

    virtual ~SetupApi() = default;

    // (&interfaceClass, no enumerator, no window, flags)
    virtual DeviceList SetupDiGetClassDevsA(const Guid& interfaceClass, uint32_t flags) = 0;
    // (list, no device record, &interfaceClass, index, &iface): false when there are no more.
    virtual bool SetupDiEnumDeviceInterfaces(DeviceList list, const Guid& interfaceClass,
                                             uint32_t index, InterfaceData& iface) = 0;
    // Without a buffer: the size the detail record asks for (the call itself fails).
    virtual uint32_t SetupDiGetDeviceInterfaceDetailA(DeviceList list,
                                                      const InterfaceData& iface) = 0;
    // Into a zeroed detail record of recordSize bytes, filling the device record as well; the
    // interface path is copied out. NoMemory when the record cannot be allocated.
    virtual DetailResult SetupDiGetDeviceInterfaceDetailA(DeviceList list,
                                                          const InterfaceData& iface,
                                                          uint32_t recordSize, std::string& path,
                                                          DeviceData& device) = 0;
    // Into an emptied buffer of kPropertyBufferSize bytes; value is its text.
    virtual bool SetupDiGetDeviceRegistryPropertyA(DeviceList list, const DeviceData& device,
                                                   uint32_t property, std::string& value) = 0;
    virtual void SetupDiDestroyDeviceInfoList(DeviceList list) = 0;

    // (path, access, share, no security attributes, disposition, flags, no template); nullptr
    // with error set to GetLastError() when it fails.
    virtual File CreateFileA(const std::string& path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t flagsAndAttributes,
                             uint32_t& error) = 0;
    virtual void CloseHandle(File file) = 0;

    // The system's text for an error code, for the trace and the command line.
    virtual std::string ErrorText(uint32_t error);
};

}  // namespace kq::win32
