#pragma once

// Discovery: which present interface is the engine. Paths have the form
// \\?\usb#vid_c251&pid_1706#0002a0000000#{class}, and only fixed positions of them are read.
// Discovery stores nothing: DeviceLink::FindDevice runs it under the link's lock and keeps the
// path it found.

#include <cstdint>
#include <optional>
#include <set>
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

// What a narrowed search (Discovery::FindOnly) saw.
struct EngineSighting {
    int admitted = 0;   // usable engines that every filter admits
    int elsewhere = 0;  // usable engines that only the narrowing filter refused
    int listed = 0;     // engine interfaces listed at all, usable or not, whatever the filters
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
    // FindDevice narrowed further by `also` for this one search, taking an engine only when it
    // is the one engine that passes: two that pass are told apart by nothing, so neither is
    // taken. When `also` names no place, nothing tells engines apart across a restart either,
    // so one is taken only when it is the one engine interface listed at all.
    bool FindOnly(const DeviceFilter& also, std::string& outPath, EngineSighting& seen);
    // The entry FindDevice took last (its path, serial and place).
    const InterfaceEntry& found() const { return found_; }

    // The most telling reason FindDevice found no usable engine: Absent when none was seen,
    // else why the best candidate could not be opened.
    OpenError lastDiscoveryError() const { return lastDiscoveryError_; }
    const std::string& lastDiscoveryDetail() const { return lastDiscoveryDetail_; }

  private:
    // The engines a narrowed search found: passing all filters, and refused by `also` only.
    struct Narrowing {
        const DeviceFilter& also;
        std::set<std::string> admitted;
        std::set<std::string> elsewhere;
    };

    int Enumerate(const Guid& interfaceClass, uint32_t vendorId, uint32_t productId,
                  const char* instance, const char* altInstance, std::string& outPath, int relaxed,
                  const DeviceFilter& filter, Narrowing* narrowing = nullptr);
    // FindDevice's three steps; a narrowing search goes through every interface of each.
    bool Search(std::string& outPath, Narrowing* narrowing);
    void NoteOpenFailure(const OpenResult& why);

    DevicePlatform& platform_;
    WireTrace& trace_;
    DeviceFilter filter_;
    OpenError lastDiscoveryError_ = OpenError::Absent;
    std::string lastDiscoveryDetail_;
    InterfaceEntry found_;
};

}  // namespace kq
