#include "usb/libusb_platform.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "devlink/discovery.h"

namespace kq {
namespace libusb_detail {

constexpr uint8_t kPrinterClass = LIBUSB_CLASS_PRINTER;
const char* const kSysfsDevices = "/sys/bus/usb/devices/";
const char* const kUdevRuleHint = "the udev rule 70-kq7300.rules grants it (see the README)";

std::string PortText(const std::vector<uint8_t>& ports) {
    std::string text;
    for (uint8_t port : ports) {
        if (!text.empty()) text += '.';
        text += std::to_string(port);
    }
    return text;
}

struct EngineInterface {
    std::string path;
    int number = 0;
    uint8_t outEndpoint = 0;  // 0 when the interface has none
    uint8_t inEndpoint = 0;
};

// One present device as discovery sees it.
struct Node {
    libusb_device* device = nullptr;  // borrowed from the scan's device list
    std::vector<uint8_t> ports;
    uint8_t bus = 0;
    uint8_t address = 0;
    uint8_t configuration = 1;
    libusb_device_descriptor descriptor{};
    std::string sysname;  // "1-1.4", or "usb1" for a root hub
    std::string serial;   // usable serial number, else empty
    std::string path;     // as a USB device node
    std::vector<EngineInterface> interfaces;

    std::string location() const {
        const std::string text = "bus " + std::to_string(bus);
        return ports.empty() ? text + ", root hub" : text + " port " + PortText(ports);
    }
    std::string deviceNode() const {
        char name[32];
        std::snprintf(name, sizeof name, "/dev/bus/usb/%03u/%03u", bus, address);
        return name;
    }
};

}  // namespace libusb_detail

namespace {

using namespace libusb_detail;

class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        const ssize_t n = libusb_get_device_list(context, &list_);
        count_ = n > 0 ? static_cast<size_t>(n) : 0;
    }
    ~DeviceList() {
        if (list_) libusb_free_device_list(list_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    libusb_device* const* begin() const { return list_; }
    libusb_device* const* end() const { return list_ + count_; }

  private:
    libusb_device** list_ = nullptr;
    size_t count_ = 0;
};

std::optional<std::string> ReadSysfs(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string text;
    std::getline(in, text);
    return text;
}

std::string DriverOf(const std::string& sysfsNode) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(kSysfsDevices + sysfsNode + "/driver", ec);
    return ec ? std::string() : target.filename().string();
}

// Like Windows, a serial that cannot be part of an instance path gives way to the location.
bool UsableSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 126) return false;
    return std::all_of(serial.begin(), serial.end(), [](char c) {
        return c > 0x20 && c < 0x7F && c != '#' && c != '\\' && c != '&' && c != ',';
    });
}

std::string ReadSerial(const Node& node) {
    if (auto text = ReadSysfs(kSysfsDevices + node.sysname + "/serial")) return *text;
    if (node.descriptor.iSerialNumber == 0) return {};
    // Without sysfs the string descriptor is the only source, and it needs an open device.
    libusb_device_handle* handle = nullptr;
    if (libusb_open(node.device, &handle) != 0) return {};
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, node.descriptor.iSerialNumber, text,
                                                     sizeof text);
    libusb_close(handle);
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n))
                 : std::string();
}

void ReadInterfaces(Node& node) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(node.device, &config) != 0) return;
    node.configuration = config->bConfigurationValue;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& iface = config->interface[i];
        if (iface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = iface.altsetting[0];
        if (alt.bInterfaceClass != kPrinterClass) continue;
        EngineInterface found;
        found.number = alt.bInterfaceNumber;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            uint8_t& slot =
                (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) ? found.inEndpoint : found.outEndpoint;
            if (slot == 0) slot = ep.bEndpointAddress;
        }
        node.interfaces.push_back(found);
    }
    libusb_free_config_descriptor(config);
}

// The device node's path may carry the serial while the interface's does not: the node only
// vouches for the serial in the relaxed search and is never taken itself.
void AssignPaths(Node& node, bool serialInterface, bool serialNode) {
    const std::string byPlace = "&port_" + node.sysname;
    const uint16_t vid = node.descriptor.idVendor;
    const uint16_t pid = node.descriptor.idProduct;
    node.path = MakeInterfacePath(vid, pid, serialNode ? node.serial : byPlace,
                                  GUID_DEVINTERFACE_USB_DEVICE);
    for (EngineInterface& iface : node.interfaces) {
        std::string name = serialInterface ? node.serial : byPlace;
        if (node.interfaces.size() > 1) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "&mi_%02x", iface.number);
            name += suffix;
        }
        iface.path = MakeInterfacePath(vid, pid, name, EngineInterfaceClass);
    }
}

std::optional<Node> Describe(libusb_device* device) {
    Node node;
    node.device = device;
    if (libusb_get_device_descriptor(device, &node.descriptor) != 0) return std::nullopt;
    node.bus = libusb_get_bus_number(device);
    node.address = libusb_get_device_address(device);
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth > 0) node.ports.assign(ports, ports + depth);
    node.sysname = node.ports.empty() ? "usb" + std::to_string(node.bus)
                                      : std::to_string(node.bus) + "-" + PortText(node.ports);
    const std::string serial = ReadSerial(node);
    if (UsableSerial(serial)) node.serial = serial;
    ReadInterfaces(node);
    AssignPaths(node, !node.serial.empty(), !node.serial.empty());
    return node;
}

// Every present device in the order of their places on the buses, so that listings are stable.
// No two paths are equal: of several devices with one serial, one carries the serial's path.
struct Scan {
    Scan(libusb_context* context, PathBook& book) : list(context) {
        for (libusb_device* device : list) {
            if (auto node = Describe(device)) nodes.push_back(std::move(*node));
        }
        std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
            return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports);
        });
        book.Assign(nodes);
    }

    const Node* FindNode(std::string_view path) const {
        for (const Node& node : nodes) {
            if (node.path == path) return &node;
        }
        return nullptr;
    }
    const Node* FindInterface(std::string_view path, const EngineInterface** iface) const {
        for (const Node& node : nodes) {
            for (const EngineInterface& candidate : node.interfaces) {
                if (candidate.path == path) {
                    *iface = &candidate;
                    return &node;
                }
            }
        }
        return nullptr;
    }

    DeviceList list;
    std::vector<Node> nodes;
};

OpenResult OpenFailure(int rc, const Node& node) {
    switch (rc) {
        case LIBUSB_ERROR_ACCESS:
            return {OpenError::NoPermission,
                    "no permission to open " + node.deviceNode() + "; " + kUdevRuleHint};
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return {OpenError::Absent, node.deviceNode() + " is gone"};
        case LIBUSB_ERROR_BUSY:
            return {OpenError::Busy, "the interface is claimed by another program"};
        default:
            return {OpenError::Other,
                    std::string(libusb_strerror(rc)) + " on " + node.deviceNode()};
    }
}

using ClaimKey = std::tuple<uint8_t, uint8_t, int>;  // bus, address, interface

ClaimKey KeyOf(const Node& node, const EngineInterface& iface) {
    return {node.bus, node.address, iface.number};
}

// Whether the kernel's driver holds the interface: 1 or 0, or a libusb error. A system that
// cannot tell has no driver to detach.
int KernelDriverActive(libusb_device_handle* handle, int interfaceNumber) {
    const int rc = libusb_kernel_driver_active(handle, interfaceNumber);
    return rc == LIBUSB_ERROR_NOT_SUPPORTED ? 0 : rc;
}

OpenResult DriverQueryFailure(int rc, const Node& node) {
    OpenResult result = OpenFailure(rc, node);
    result.detail = "cannot tell whether a kernel driver holds the interface: " + result.detail;
    return result;
}

}  // namespace

// A claim is exclusive per open file, even within one process: a test-open's brief claim must
// neither fail on nor get in the way of a claim of this process.
struct LibusbPlatform::Claims {
    std::mutex mutex;
    std::multiset<ClaimKey> held;
    // The claims HoldInterface keeps, by interface path.
    std::map<std::string, std::weak_ptr<Claim>, std::less<>> holds;
};

// One opened device with one claimed interface; destroying it releases and closes.
struct LibusbPlatform::Claim {
    Claim(std::shared_ptr<Claims> owner, const Node& node, const EngineInterface& iface,
          libusb_device_handle* opened)
        : claims(std::move(owner)),
          device(libusb_ref_device(node.device)),
          handle(opened),
          number(iface.number),
          outEndpoint(iface.outEndpoint),
          inEndpoint(iface.inEndpoint),
          key(KeyOf(node, iface)) {}
    ~Claim() {
        std::lock_guard lock(claims->mutex);
        libusb_release_interface(handle, number);
        claims->held.erase(claims->held.find(key));
        libusb_close(handle);
        libusb_unref_device(device);
        std::erase_if(claims->holds, [](const auto& entry) { return entry.second.expired(); });
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    std::shared_ptr<Claims> claims;
    libusb_device* device;
    libusb_device_handle* handle;
    int number;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    ClaimKey key;
};

namespace {

using Claim = LibusbPlatform::Claim;

class LibusbPipe final : public PipeHandle {
  public:
    LibusbPipe(std::shared_ptr<Claim> claim, uint8_t endpoint)
        : claim_(std::move(claim)), endpoint_(endpoint) {}

    int32_t Write(const uint8_t* data, uint32_t count, int timeoutMs) override {
        if (endpoint_ & LIBUSB_ENDPOINT_IN) return Refuse("this pipe is only read");
        return Transfer(const_cast<uint8_t*>(data), count, timeoutMs);
    }
    int32_t Read(uint8_t* data, uint32_t count, int timeoutMs) override {
        if (!(endpoint_ & LIBUSB_ENDPOINT_IN)) return Refuse("this pipe is only written");
        return Transfer(data, count, timeoutMs);
    }
    std::string LastTransferError() const override { return error_; }

  private:
    int32_t Refuse(const char* why) {
        error_ = why;
        return 0;
    }

    int32_t Transfer(uint8_t* data, uint32_t count, int timeoutMs) {
        error_.clear();
        int moved = 0;
        // libusb reads a timeout of 0 as "wait for ever".
        const unsigned int timeout = timeoutMs > 0 ? static_cast<unsigned int>(timeoutMs) : 1;
        const int length = static_cast<int>(std::min<uint32_t>(count, INT_MAX));
        const int rc =
            libusb_bulk_transfer(claim_->handle, endpoint_, data, length, &moved, timeout);
        switch (rc) {
            case 0:
                break;
            case LIBUSB_ERROR_TIMEOUT:
                error_ = "no transfer within " + std::to_string(timeout) + " ms";
                break;
            case LIBUSB_ERROR_NO_DEVICE:
                error_ = "the engine left during the transfer";
                break;
            case LIBUSB_ERROR_PIPE:
                error_ = "the endpoint stalled";
                break;
            case LIBUSB_ERROR_OVERFLOW:
                error_ = "the engine sent more than was asked for";
                break;
            default:
                error_ = std::string("transfer failed: ") + libusb_strerror(rc);
                break;
        }
        return moved;
    }

    std::shared_ptr<Claim> claim_;
    uint8_t endpoint_;
    std::string error_;
};

class LibusbHold final : public InterfaceHold {
  public:
    explicit LibusbHold(std::shared_ptr<Claim> claim) : claim_(std::move(claim)) {}

  private:
    std::shared_ptr<Claim> claim_;
};

// Another program's request written just before the claim may have left its answer waiting on
// the answer endpoint; it is not this process's to read.
void DropStaleAnswer(const Claim& claim) {
    if (claim.inEndpoint == 0) return;
    std::vector<uint8_t> scrap(4096);
    for (int i = 0; i < 32; ++i) {
        int moved = 0;
        const int rc = libusb_bulk_transfer(claim.handle, claim.inEndpoint, scrap.data(),
                                            static_cast<int>(scrap.size()), &moved, 20);
        if (rc != 0 || moved == 0) return;
    }
}

}  // namespace

void PathBook::Assign(std::vector<Node>& nodes) {
    std::lock_guard lock(mutex_);
    std::map<std::string, std::vector<Node*>> bySerial;
    for (Node& node : nodes) {
        if (node.serial.empty()) {
            AssignPaths(node, false, false);
            continue;
        }
        char key[16];
        std::snprintf(key, sizeof key, "%04x:%04x:", node.descriptor.idVendor,
                      node.descriptor.idProduct);
        bySerial[key + node.serial].push_back(&node);
    }
    for (auto& entry : bySerial) {
        // Named, not a structured binding: the lambdas below capture it, which clang 14 refuses.
        const std::string& key = entry.first;
        std::vector<Node*>& group = entry.second;
        Node* owner = group.front();
        if (auto it = owners_.find(key); it != owners_.end()) {
            const Owner& known = it->second;
            const auto at = [&](const std::string& place) {
                return std::find_if(group.begin(), group.end(),
                                    [&](const Node* n) { return n->sysname == place; });
            };
            // The engine at its own place again; failing that, a device that was not there
            // beside it when it was seen last; failing that (it restarts), none.
            auto found = at(known.place);
            if (found == group.end()) {
                found = std::find_if(group.begin(), group.end(), [&](const Node* n) {
                    return !known.companions.count(n->sysname);
                });
            }
            owner = found == group.end() ? nullptr : *found;
        }
        if (owner) {
            Owner& record = owners_[key];
            record.place = owner->sysname;
            record.companions.clear();
            for (const Node* n : group) {
                if (n != owner) record.companions.insert(n->sysname);
            }
        }
        // While the serial's engine is away, another of its serial still vouches for it.
        const Node* voucher = owner ? owner : group.front();
        for (Node* n : group) AssignPaths(*n, n == owner, n == voucher);
    }
}

std::unique_ptr<LibusbPlatform> LibusbPlatform::Create(std::string* error) {
    libusb_context* context = nullptr;
    const int rc = libusb_init(&context);
    if (rc != 0) {
        if (error) *error = libusb_strerror(rc);
        return nullptr;
    }
    return std::unique_ptr<LibusbPlatform>(new LibusbPlatform(context));
}

LibusbPlatform::LibusbPlatform(libusb_context* context)
    : context_(context), claims_(std::make_shared<Claims>()) {}

LibusbPlatform::~LibusbPlatform() {
    libusb_exit(context_);
}

std::vector<InterfaceEntry> LibusbPlatform::ListInterfaces(const Guid& interfaceClass) {
    std::vector<InterfaceEntry> entries;
    const Scan scan(context_, book_);
    for (const Node& node : scan.nodes) {
        if (interfaceClass == GUID_DEVINTERFACE_USB_DEVICE) {
            entries.push_back({node.path, true, node.serial, node.location(), node.sysname});
        } else if (interfaceClass == EngineInterfaceClass) {
            for (const EngineInterface& iface : node.interfaces) {
                entries.push_back({iface.path, true, node.serial, node.location(), node.sysname});
            }
        }
    }
    return entries;
}

std::optional<std::string> LibusbPlatform::ReadProperty(const InterfaceEntry& entry,
                                                        DeviceProperty property) {
    const Scan scan(context_, book_);
    const EngineInterface* iface = nullptr;
    const Node* node = scan.FindNode(entry.path);
    if (!node) node = scan.FindInterface(entry.path, &iface);
    if (!node) return std::nullopt;
    switch (property) {
        case DeviceProperty::Driver: {
            std::string sysfsNode = node->sysname;
            if (iface) {
                sysfsNode +=
                    ":" + std::to_string(node->configuration) + "." + std::to_string(iface->number);
            }
            return DriverOf(sysfsNode);
        }
        case DeviceProperty::LocationInformation:
            return node->location();
        case DeviceProperty::HardwareId: {
            char id[48];
            std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&REV_%04X",
                          node->descriptor.idVendor, node->descriptor.idProduct,
                          node->descriptor.bcdDevice);
            return id;
        }
    }
    return std::nullopt;
}

OpenResult LibusbPlatform::TestOpen(const InterfaceEntry& entry) {
    const Scan scan(context_, book_);
    const EngineInterface* iface = nullptr;
    const Node* node = scan.FindNode(entry.path);
    if (!node) node = scan.FindInterface(entry.path, &iface);
    if (!node) return {OpenError::Absent, "no device at " + entry.path};
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(node->device, &handle);
    if (rc != 0) return OpenFailure(rc, *node);
    OpenResult result;
    // A kernel driver (usblp) would be detached by a transfer; a claim by another program would
    // not give way, so it is tried here and released at once.
    std::lock_guard lock(claims_->mutex);
    const bool ours = iface && claims_->held.count(KeyOf(*node, *iface));
    if (iface && !ours) {
        const int driver = KernelDriverActive(handle, iface->number);
        if (driver < 0) {
            result = DriverQueryFailure(driver, *node);
        } else if (driver == 0) {
            const int claim = libusb_claim_interface(handle, iface->number);
            if (claim == 0) {
                libusb_release_interface(handle, iface->number);
            } else {
                result = OpenFailure(claim, *node);
            }
        }
    }
    libusb_close(handle);
    return result;
}

std::shared_ptr<Claim> LibusbPlatform::ClaimInterface(const Node& node,
                                                      const EngineInterface& iface,
                                                      OpenResult& result) {
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(node.device, &handle);
    if (rc != 0) {
        result = OpenFailure(rc, node);
        return nullptr;
    }
    // The kernel's printer driver binds to the engine's interface. It is detached and left so:
    // re-attaching after every transfer would have it probe the engine on the control pipe
    // between a request and its answer, and churn /dev/usb/lp* once per frame; it has no use for
    // the engine anyway. A replug brings it back, and the next transfer detaches it again.
    rc = KernelDriverActive(handle, iface.number);
    if (rc < 0) {
        result = DriverQueryFailure(rc, node);
        libusb_close(handle);
        return nullptr;
    }
    if (rc == 1) {
        rc = libusb_detach_kernel_driver(handle, iface.number);
        if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
            result = OpenFailure(rc, node);
            result.detail = "cannot detach the kernel's driver: " + result.detail;
            libusb_close(handle);
            return nullptr;
        }
    }
    std::lock_guard lock(claims_->mutex);
    rc = libusb_claim_interface(handle, iface.number);
    if (rc != 0) {
        result = OpenFailure(rc, node);
        libusb_close(handle);
        return nullptr;
    }
    claims_->held.insert(KeyOf(node, iface));
    return std::make_shared<Claim>(claims_, node, iface, handle);
}

bool LibusbPlatform::StillListed(libusb_device* device) {
    const DeviceList list(context_);
    return std::find(list.begin(), list.end(), device) != list.end();
}

std::shared_ptr<Claim> LibusbPlatform::HeldClaim(std::string_view interfacePath) {
    std::shared_ptr<Claim> claim;
    {
        std::lock_guard lock(claims_->mutex);
        if (auto it = claims_->holds.find(interfacePath); it != claims_->holds.end()) {
            claim = it->second.lock();
        }
    }
    // A hold whose device has left covers the path no longer.
    if (claim && !StillListed(claim->device)) claim.reset();
    return claim;
}

std::shared_ptr<Claim> LibusbPlatform::ClaimAt(std::string_view interfacePath, OpenResult& result) {
    const Scan scan(context_, book_);
    const EngineInterface* iface = nullptr;
    const Node* node = scan.FindInterface(interfacePath, &iface);
    if (!node) {
        result = {OpenError::Absent, "no engine at " + std::string(interfacePath)};
        return nullptr;
    }
    return ClaimInterface(*node, *iface, result);
}

std::unique_ptr<PipeHandle> LibusbPlatform::OpenPipe(std::string_view pipePath, OpenResult* why) {
    OpenResult ignored;
    OpenResult& result = why ? *why : ignored;
    result = {};
    const size_t sep = pipePath.rfind('\\');
    const std::string_view name = sep == std::string_view::npos ? "" : pipePath.substr(sep + 1);
    const std::string_view path = pipePath.substr(0, sep == std::string_view::npos ? 0 : sep);
    if (name != "PIPE0" && name != "PIPE1") {
        result = {OpenError::Absent, "no pipe named " + std::string(name)};
        return nullptr;
    }
    // Without a hold, whatever is at the path is opened for this transfer alone.
    std::shared_ptr<Claim> claim = HeldClaim(path);
    if (!claim) claim = ClaimAt(path, result);
    if (!claim) return nullptr;
    const uint8_t endpoint = name == "PIPE0" ? claim->outEndpoint : claim->inEndpoint;
    if (endpoint == 0) {
        result = {OpenError::Other, "the interface has no bulk endpoint for " + std::string(name)};
        return nullptr;
    }
    return std::make_unique<LibusbPipe>(std::move(claim), endpoint);
}

std::unique_ptr<InterfaceHold> LibusbPlatform::HoldInterface(std::string_view interfacePath,
                                                             OpenResult* why) {
    OpenResult ignored;
    OpenResult& result = why ? *why : ignored;
    result = {};
    // Held already by this process, on the same device: the holds share the claim.
    if (auto held = HeldClaim(interfacePath)) return std::make_unique<LibusbHold>(std::move(held));
    std::shared_ptr<Claim> claim = ClaimAt(interfacePath, result);
    if (!claim) return nullptr;
    DropStaleAnswer(*claim);
    {
        std::lock_guard lock(claims_->mutex);
        claims_->holds[std::string(interfacePath)] = claim;
    }
    return std::make_unique<LibusbHold>(std::move(claim));
}

// Hotplug

std::unique_ptr<LibusbHotplug> LibusbHotplug::Create(Mode mode, std::string* error) {
    libusb_context* context = nullptr;
    const int rc = libusb_init(&context);
    if (rc != 0) {
        if (error) *error = libusb_strerror(rc);
        return nullptr;
    }
    const bool polling = mode == Mode::Polling || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG);
    return std::unique_ptr<LibusbHotplug>(new LibusbHotplug(context, polling));
}

LibusbHotplug::LibusbHotplug(libusb_context* context, bool polling)
    : context_(context), polling_(polling) {}

LibusbHotplug::~LibusbHotplug() {
    Stop();
    libusb_exit(context_);
}

int LibusbHotplug::OnHotplug(libusb_context*, libusb_device* device, int event, void* self) {
    auto* source = static_cast<LibusbHotplug*>(self);
    libusb_ref_device(device);
    std::lock_guard lock(source->mutex_);
    source->queue_.push_back({device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED});
    return 0;
}

void LibusbHotplug::Start(Sink sink) {
    Stop();
    sink_ = std::move(sink);
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    bool polling = polling_;
    if (!polling) {
        // With ENUMERATE the devices present now are queued before registration returns.
        const int rc = libusb_hotplug_register_callback(
            context_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY,
            [](libusb_context* c, libusb_device* d, libusb_hotplug_event e, void* self) {
                return OnHotplug(c, d, e, self);
            },
            this, &callbackHandle_);
        registered_ = rc == 0;
        polling = !registered_;
        std::deque<Queued> present;
        {
            std::lock_guard lock(mutex_);
            present.swap(queue_);
        }
        for (const Queued& q : present) {
            if (q.arrival) Arrived(q.device, false);
            libusb_unref_device(q.device);
        }
    }
    if (polling) {
        ArrivedAll(false);
        thread_ = std::thread([this] { PollLoop(); });
    } else {
        thread_ = std::thread([this] { EventLoop(); });
    }
}

void LibusbHotplug::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (registered_) libusb_interrupt_event_handler(context_);
    if (thread_.joinable()) thread_.join();
    if (registered_) {
        libusb_hotplug_deregister_callback(context_, callbackHandle_);
        registered_ = false;
    }
    std::deque<Queued> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(queue_);
    }
    for (const Queued& q : left) libusb_unref_device(q.device);
    for (auto& [device, events] : known_) libusb_unref_device(device);
    known_.clear();
    sink_ = nullptr;
}

void LibusbHotplug::EventLoop() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        timeval wait{1, 0};
        libusb_handle_events_timeout_completed(context_, &wait, nullptr);
        Drain();
    }
}

void LibusbHotplug::Drain() {
    std::deque<Queued> queued;
    {
        std::lock_guard lock(mutex_);
        queued.swap(queue_);
    }
    for (const Queued& q : queued) {
        if (q.arrival) {
            Arrived(q.device, true);
        } else {
            Removed(q.device);
        }
        libusb_unref_device(q.device);
    }
}

void LibusbHotplug::PollLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) return;
        lock.unlock();
        const DeviceList list(context_);
        const std::set<libusb_device*> present(list.begin(), list.end());
        std::vector<libusb_device*> gone;
        for (const auto& [device, events] : known_) {
            if (!present.count(device)) gone.push_back(device);
        }
        for (libusb_device* device : gone) Removed(device);
        ArrivedAll(true);
        lock.lock();
    }
}

void LibusbHotplug::Arrived(libusb_device* device, bool announce) {
    if (known_.count(device)) return;
    // The paths come from a scan of all devices, as the platform names them.
    const Scan scan(context_, book_);
    for (const Node& node : scan.nodes) {
        if (node.device == device) return Remember(node, announce);
    }
    if (auto node = Describe(device)) Remember(*node, announce);
}

void LibusbHotplug::ArrivedAll(bool announce) {
    const Scan scan(context_, book_);
    for (const Node& node : scan.nodes) {
        if (!known_.count(node.device)) Remember(node, announce);
    }
}

void LibusbHotplug::Remember(const Node& node, bool announce) {
    std::vector<HotplugEvent> events;
    events.push_back({DeviceEventKind::Arrival, GUID_DEVINTERFACE_USB_DEVICE, node.path});
    for (const EngineInterface& iface : node.interfaces) {
        events.push_back({DeviceEventKind::Arrival, EngineInterfaceClass, iface.path});
    }
    libusb_ref_device(node.device);
    known_[node.device] = events;
    if (announce) Emit(events);
}

void LibusbHotplug::Removed(libusb_device* device) {
    auto it = known_.find(device);
    if (it == known_.end()) return;
    std::vector<HotplugEvent> events(it->second.rbegin(), it->second.rend());
    for (HotplugEvent& e : events) e.kind = DeviceEventKind::Removal;
    libusb_unref_device(device);
    known_.erase(it);
    Emit(events);
}

void LibusbHotplug::Emit(const std::vector<HotplugEvent>& events) {
    if (!sink_) return;
    for (const HotplugEvent& e : events) sink_(e);
}

}  // namespace kq
