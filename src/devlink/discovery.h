#pragma once

// Discovery: which present interface is the engine. Paths have the form
// \\?\usb#vid_c251&pid_1706#0002a0000000#{class}, and only fixed positions of them are read.
// Discovery stores nothing: DeviceLink::FindDevice runs it under the link's lock and keeps the
// path it found.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devlink/guid.h"
#include "devlink/platform.h"
#include "devlink/trace.h"

namespace kq {

inline constexpr uint32_t kEngineVendorId = 0xC251;
inline constexpr uint32_t kEngineProductId = 0x1706;
inline constexpr const char* kEngineInstance = "0002a0000000";
// DevicePath holds at most this many characters; the pipe path adds "\PIPEn".
inline constexpr size_t kMaxDevicePath = 259;

void ParseVidPid(std::string_view path, uint32_t& vendorId, uint32_t& productId);
void ExtractInstance(std::string_view path, std::string& out);
bool MatchVidPid(std::string_view path, uint32_t vendorId, uint32_t productId);
// The Windows-form path every backend reports.
std::string MakeInterfacePath(uint16_t vendorId, uint16_t productId, std::string_view instance,
                              const Guid& interfaceClass);

// Picks one engine among several (the command line's --serial / --path). Empty fields filter
// nothing. It narrows only the interfaces that could be taken as the engine; the USB device node
// that vouches for the instance in the relaxed search is never taken, so it is not filtered.
struct DeviceFilter {
    std::string serial;
    std::string path;
    std::string place;  // InterfaceEntry::place

    bool Admits(const InterfaceEntry& entry) const;
};

// One search over the platform's interfaces, with the trace for its diagnostics.
class Discovery {
  public:
    Discovery(DevicePlatform& platform, WireTrace& trace, DeviceFilter filter = {});

    // 1 when an interface of the class, numbers and instance was found (its path in outPath),
    // else 0. relaxed != 0: the location property is not read, and the instance must equal
    // altInstance, or is not checked when altInstance is null.
    int EnumerateInterfaces(const Guid& interfaceClass, uint32_t vendorId, uint32_t productId,
                            const char* instance, const char* altInstance, std::string& outPath,
                            int relaxed);

    // The engine's own interface with the expected instance; failing that, when a USB device
    // node with the expected instance is present, the first engine interface of the right
    // numbers whatever its instance.
    bool FindDevice(std::string& outPath);
    // The entry FindDevice took last (its path, serial and place).
    const InterfaceEntry& found() const { return found_; }

    // The most telling reason FindDevice found no usable engine: Absent when none was seen,
    // else why the best candidate could not be opened.
    OpenError lastDiscoveryError() const { return lastDiscoveryError_; }
    const std::string& lastDiscoveryDetail() const { return lastDiscoveryDetail_; }

  private:
    int Enumerate(const Guid& interfaceClass, uint32_t vendorId, uint32_t productId,
                  const char* instance, const char* altInstance, std::string& outPath, int relaxed,
                  const DeviceFilter& filter);
    void NoteOpenFailure(const OpenResult& why);

    DevicePlatform& platform_;
    WireTrace& trace_;
    DeviceFilter filter_;
    OpenError lastDiscoveryError_ = OpenError::Absent;
    std::string lastDiscoveryDetail_;
    InterfaceEntry found_;
};

}  // namespace kq
