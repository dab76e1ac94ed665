#include "devlink/discovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kq {
namespace {

// No four hexadecimal digits give this, so a path without its fields matches nothing.
constexpr uint32_t kNoNumber = 0xFFFFFFFFu;
constexpr size_t kVendorPos = 12;
constexpr size_t kProductPos = 21;
constexpr size_t kInstancePos = 26;
constexpr size_t kMaxInstance = 260;

uint32_t HexField(std::string_view path, size_t pos) {
    if (path.size() < pos + 4) return kNoNumber;
    char digits[5] = {};
    std::memcpy(digits, path.data() + pos, 4);
    return static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
}

// Ranks the reasons an engine could not be opened, so the user hears the most useful one.
int Severity(OpenError e) {
    switch (e) {
        case OpenError::NoPermission:
            return 4;
        case OpenError::Busy:
            return 3;
        case OpenError::Other:
            return 2;
        case OpenError::Absent:
            return 1;
        case OpenError::None:
            return 0;
    }
    return 0;
}

const char* PropertyName(DeviceProperty p) {
    switch (p) {
        case DeviceProperty::Driver:
            return "driver";
        case DeviceProperty::LocationInformation:
            return "location";
        case DeviceProperty::HardwareId:
            return "hardware id";
    }
    return "?";
}

}  // namespace

void ParseVidPid(std::string_view path, uint32_t& vendorId, uint32_t& productId) {
    vendorId = HexField(path, kVendorPos);
    productId = HexField(path, kProductPos);
}

void ExtractInstance(std::string_view path, std::string& out) {
    out.clear();
    if (path.size() <= kInstancePos) return;
    out.push_back(path[kInstancePos]);
    for (size_t i = kInstancePos + 1;
         i < path.size() && path[i] != '#' && out.size() < kMaxInstance; ++i) {
        out.push_back(path[i]);
    }
}

bool MatchVidPid(std::string_view path, uint32_t vendorId, uint32_t productId) {
    uint32_t vid = 0;
    uint32_t pid = 0;
    ParseVidPid(path, vid, pid);
    return vid == vendorId && pid == productId;
}

std::string MakeInterfacePath(uint16_t vendorId, uint16_t productId, std::string_view instance,
                              const Guid& interfaceClass) {
    char head[32];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", vendorId, productId);
    return std::string(head) + std::string(instance) + "#" + interfaceClass.ToString();
}

bool DeviceFilter::Admits(const InterfaceEntry& entry) const {
    return (serial.empty() || entry.serial == serial) && (path.empty() || entry.path == path) &&
           (place.empty() || entry.place == place);
}

Discovery::Discovery(DevicePlatform& platform, WireTrace& trace, DeviceFilter filter)
    : platform_(platform), trace_(trace), filter_(std::move(filter)) {}

int Discovery::EnumerateInterfaces(const Guid& interfaceClass, uint32_t vendorId,
                                   uint32_t productId, const char* instance,
                                   const char* altInstance, std::string& outPath, int relaxed) {
    return Enumerate(interfaceClass, vendorId, productId, instance, altInstance, outPath, relaxed,
                     filter_);
}

int Discovery::Enumerate(const Guid& interfaceClass, uint32_t vendorId, uint32_t productId,
                         const char* instance, const char* altInstance, std::string& outPath,
                         int relaxed, const DeviceFilter& filter, Narrowing* narrowing) {
    const auto entries = platform_.ListInterfaces(interfaceClass);
    for (const InterfaceEntry& entry : entries) {
        if (!entry.detailOk) {
            trace_.Note("discovery ended: details of an interface could not be read");
            return 0;
        }
        std::vector<DeviceProperty> properties{DeviceProperty::Driver};
        if (relaxed == 0) properties.push_back(DeviceProperty::LocationInformation);
        properties.push_back(DeviceProperty::HardwareId);
        for (DeviceProperty property : properties) {
            if (!platform_.ReadProperty(entry, property)) {
                trace_.Note(std::string("discovery ended: ") + PropertyName(property) + " of " +
                            entry.path + " could not be read");
                return 0;
            }
        }
        // Before the test-open, so that an engine the user did not ask for adds no reason.
        if (!filter.Admits(entry)) continue;
        const bool isEngine = MatchVidPid(entry.path, vendorId, productId);
        const bool elsewhere = narrowing && !narrowing->also.Admits(entry);
        const OpenResult opened = platform_.TestOpen(entry);
        if (!opened.ok()) {
            if (isEngine && !elsewhere) {
                NoteOpenFailure(opened);
                trace_.Note(entry.path + " skipped: " + OpenErrorText(opened.error) +
                            (opened.detail.empty() ? "" : " (" + opened.detail + ")"));
            }
            continue;
        }
        if (!isEngine) continue;
        std::string found;
        ExtractInstance(entry.path, found);
        if (relaxed == 0) {
            if (instance == nullptr || found != instance) continue;
        } else if (altInstance != nullptr && found != altInstance) {
            continue;
        }
        if (entry.path.size() > kMaxDevicePath) {
            trace_.Note(entry.path + " skipped: path too long");
            continue;
        }
        if (narrowing) {
            if (elsewhere) {
                narrowing->elsewhere.insert(entry.path);
                continue;
            }
            if (!narrowing->admitted.insert(entry.path).second) continue;
        }
        if (!narrowing || narrowing->admitted.size() == 1) {
            outPath = entry.path;
            found_ = entry;
            found_.platformData.reset();
        }
        if (!narrowing) return 1;
    }
    return narrowing && !narrowing->admitted.empty() ? 1 : 0;
}

void Discovery::NoteOpenFailure(const OpenResult& why) {
    if (Severity(why.error) > Severity(lastDiscoveryError_)) {
        lastDiscoveryError_ = why.error;
        lastDiscoveryDetail_ = why.detail;
    }
}

bool Discovery::Search(std::string& outPath, Narrowing* narrowing) {
    lastDiscoveryError_ = OpenError::Absent;
    lastDiscoveryDetail_.clear();
    bool found = Enumerate(EngineInterfaceClass, kEngineVendorId, kEngineProductId, kEngineInstance,
                           nullptr, outPath, 0, filter_, narrowing) == 1;
    // A narrowing search counts every candidate, so it goes on after a find; the engine it
    // found first stays in outPath.
    if (!found || narrowing) {
        // The device node only vouches for the instance and is never taken: no filter for it.
        std::string scratch;
        if (Enumerate(GUID_DEVINTERFACE_USB_DEVICE, kEngineVendorId, kEngineProductId,
                      kEngineInstance, nullptr, scratch, 0, DeviceFilter{}) == 1) {
            found = Enumerate(EngineInterfaceClass, kEngineVendorId, kEngineProductId,
                              kEngineInstance, nullptr, outPath, 1, filter_, narrowing) == 1 ||
                    found;
        }
    }
    return found;
}

bool Discovery::FindDevice(std::string& outPath) {
    std::string path;
    if (!Search(path, nullptr)) return false;
    lastDiscoveryError_ = OpenError::None;
    outPath = path;
    trace_.Note("engine at " + path);
    return true;
}

bool Discovery::FindOnly(const DeviceFilter& also, std::string& outPath, EngineSighting& seen) {
    Narrowing narrowing{also, {}, {}};
    std::string path;
    Search(path, &narrowing);
    seen.admitted = static_cast<int>(narrowing.admitted.size());
    seen.elsewhere = static_cast<int>(narrowing.elsewhere.size());
    seen.listed = 0;
    for (const InterfaceEntry& entry : platform_.ListInterfaces(EngineInterfaceClass)) {
        if (MatchVidPid(entry.path, kEngineVendorId, kEngineProductId)) ++seen.listed;
    }
    const std::string where = also.place.empty() ? "" : " at " + also.place;
    if (seen.admitted > 1) {
        trace_.Note(std::to_string(seen.admitted) + " engines" + where + ": none taken");
        return false;
    }
    if (seen.admitted == 1 && also.place.empty() && seen.listed > 1) {
        trace_.Note(std::to_string(seen.listed) +
                    " engines and no place to tell them apart: none taken");
        return false;
    }
    if (seen.admitted == 0) {
        if (seen.elsewhere > 0) {
            trace_.Note("no engine" + where + "; " + std::to_string(seen.elsewhere) +
                        " elsewhere, not taken");
        }
        return false;
    }
    lastDiscoveryError_ = OpenError::None;
    outPath = path;
    trace_.Note("engine at " + path + (where.empty() ? "" : " (" + also.place + ")"));
    return true;
}

}  // namespace kq
