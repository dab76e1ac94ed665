#include "usb_testbed.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kq::test {
namespace {

constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr uint8_t kSerialIndex = 3;

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// sysfs text attributes end with a newline; libusb complains otherwise.
std::string TextAttribute(const std::string& text) {
    const std::string line = text + "\n";
    return Hex(std::vector<uint8_t>(line.begin(), line.end()));
}

std::vector<uint8_t> Descriptors(const EmulatedEngineOptions& o) {
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    const uint16_t vid = o.engine.vid;
    const uint16_t pid = o.engine.pid;
    const uint8_t serial = o.hasSerial ? kSerialIndex : 0;
    // clang-format off
    return {
        18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(vid), hi(vid), lo(pid), hi(pid), 0x00, 0x01, 1, 2,
        serial, 1,
        // configuration 1: one interface with a bulk OUT and a bulk IN endpoint
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,
        9, 4, 0, 0, 2, o.interfaceClass, 1, 2, 0,
        7, 5, 0x01, 2, 0x00, 0x02, 0,
        7, 5, 0x81, 2, 0x00, 0x02, 0,
    };
    // clang-format on
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        std::fprintf(stderr, "umockdev: %s\n", error->message);
        g_error_free(error);
    }
    return child;
}

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

}  // namespace

bool InMockEnvironment() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload.so");
}

EmulatedEngine::EmulatedEngine(EmulatedEngineOptions options, int port, int devnum)
    : options_(std::move(options)), engine_(options_.engine), port_(port) {
    syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + place();
    auto device = std::make_unique<Device>();
    device->engine = this;
    device->devnum = devnum;
    device->usblpBound = options_.usblpBound;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    device->devnode = node;
    devices_.push_back(std::move(device));
}

EmulatedEngine::~EmulatedEngine() {
    for (auto& device : devices_) {
        for (Urb& urb : device->pendingIn) Release(urb);
        for (Urb& urb : device->done) Release(urb);
    }
}

std::string EmulatedEngine::place() const {
    return "1-" + std::to_string(port_);
}

std::string EmulatedEngine::devnode() const {
    std::lock_guard lock(mutex_);
    return current().devnode;
}

int EmulatedEngine::devnum() const {
    std::lock_guard lock(mutex_);
    return current().devnum;
}

std::string EmulatedEngine::Record() {
    std::lock_guard lock(mutex_);
    const Device& d = current();
    std::string r = "P: " + syspath_.substr(4) + "\n";
    if (options_.deviceNode) r += "N: " + d.devnode.substr(5) + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + d.devnode + "\n";
    r += "H: busnum=" + TextAttribute("1") + "\n";
    r += "H: devnum=" + TextAttribute(std::to_string(d.devnum)) + "\n";
    r += "H: bConfigurationValue=" + TextAttribute("1") + "\n";
    r += "H: speed=" + TextAttribute("480") + "\n";
    if (options_.hasSerial && options_.serialInSysfs) {
        r += "H: serial=" + TextAttribute(options_.engine.serial) + "\n";
    }
    r += "H: descriptors=" + Hex(Descriptors(options_)) + "\n";
    return r;
}

bool EmulatedEngine::usblpBound() {
    std::lock_guard lock(mutex_);
    return current().usblpBound;
}

int EmulatedEngine::detachCount() {
    std::lock_guard lock(mutex_);
    return detaches_;
}

int EmulatedEngine::claimCount() {
    std::lock_guard lock(mutex_);
    return claims_;
}

void EmulatedEngine::EndDevice(Device& d) {
    d.gone = true;
    for (Urb& urb : d.pendingIn) {
        UrbOf(urb.urb)->status = -ENODEV;
        d.done.push_back(urb);
    }
    d.pendingIn.clear();
}

void EmulatedEngine::MarkGone() {
    std::lock_guard lock(mutex_);
    EndDevice(current());
}

int EmulatedEngine::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device) {
    auto* d = static_cast<Device*>(device);
    return d->engine->HandleIoctl(*d, client);
}

// Closing a usbfs file gives up its claim.
void EmulatedEngine::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device) {
    auto* d = static_cast<Device*>(device);
    std::lock_guard lock(d->engine->mutex_);
    if (d->claimedBy == client) d->claimedBy = nullptr;
}

void EmulatedEngine::Release(Urb& urb) {
    if (urb.buffer) umockdev_ioctl_data_unref(urb.buffer);
    umockdev_ioctl_data_unref(urb.urb);
}

bool EmulatedEngine::HandleIoctl(Device& d, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex_);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(d, client);
    if (request == USBDEVFS_DISCARDURB) {
        const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
        for (auto it = d.pendingIn.begin(); it != d.pendingIn.end(); ++it) {
            if (it->address != address) continue;
            UrbOf(it->urb)->status = -ENOENT;
            d.done.push_back(*it);
            d.pendingIn.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    if (d.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const size_t size = _IOC_SIZE(request);
    UMockdevIoctlData* data = size ? Resolve(arg, 0, size) : nullptr;
    if (size && !data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    long result = 0;
    int error = 0;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            std::memcpy(data->data, &kCapabilities, sizeof kCapabilities);
            break;
        case USBDEVFS_SUBMITURB:
            Submit(d, client, data);
            return TRUE;  // Submit completed the call and keeps data
        case USBDEVFS_CLAIMINTERFACE:
            if (d.usblpBound || options_.claimedElsewhere ||
                (d.claimedBy && d.claimedBy != client)) {
                result = -1;
                error = EBUSY;
            } else {
                d.claimedBy = client;
                ++claims_;
            }
            break;
        case USBDEVFS_RELEASEINTERFACE:
            if (d.claimedBy == client) d.claimedBy = nullptr;
            break;
        case USBDEVFS_GETDRIVER: {
            auto* query = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            const char* driver = d.usblpBound ? "usblp" : d.claimedBy ? "usbfs" : nullptr;
            if (options_.driverQueryFails) {
                result = -1;
                error = EIO;
            } else if (driver) {
                std::snprintf(query->driver, sizeof query->driver, "%s", driver);
            } else {
                result = -1;
                error = ENODATA;
            }
            break;
        }
        case USBDEVFS_IOCTL: {
            const int code = reinterpret_cast<usbdevfs_ioctl*>(data->data)->ioctl_code;
            if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (d.usblpBound) {
                    d.usblpBound = false;
                    ++detaches_;
                } else {
                    result = -1;
                    error = ENODATA;
                }
            } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
                d.usblpBound = true;
                result = 1;  // libusb takes 1 for "a driver is bound now"
            } else {
                result = -1;
                error = ENOTTY;
            }
            break;
        }
        case USBDEVFS_DISCONNECT_CLAIM:
            if (d.usblpBound) ++detaches_;
            d.usblpBound = false;
            d.claimedBy = client;
            ++claims_;
            break;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            break;
        default:
            result = -1;
            error = ENOTTY;
            break;
    }
    umockdev_ioctl_client_complete(client, result, error);
    if (data) umockdev_ioctl_data_unref(data);
    return TRUE;
}

void EmulatedEngine::Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* data) {
    usbdevfs_urb* urb = UrbOf(data);
    Urb entry{data, nullptr, data->client_addr};
    if (urb->buffer_length > 0) {
        entry.buffer =
            Resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->buffer_length));
    }
    urb->status = 0;
    urb->actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        Control(entry);
        d.done.push_back(entry);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80)) {
        d.pendingIn.push_back(entry);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && entry.buffer) {
        const auto effect =
            engine_.Receive(entry.buffer->data, static_cast<size_t>(urb->buffer_length));
        urb->actual_length = urb->buffer_length;
        d.done.push_back(entry);
        // The request went through; then the engine drops off the bus.
        if (effect == VirtualEngine::Effect::Unplug) d.gone = true;
        if (effect == VirtualEngine::Effect::Reboot) {
            EndDevice(d);
            if (restarted_) restarted_(*this);
        }
    } else {
        urb->status = -EPIPE;
        d.done.push_back(entry);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The control pipe answers what libusb asks for a serial number: string descriptors.
void EmulatedEngine::Control(Urb& entry) {
    usbdevfs_urb* urb = UrbOf(entry.urb);
    if (!entry.buffer || urb->buffer_length < 8) {
        urb->status = -EPIPE;
        return;
    }
    uint8_t* setup = entry.buffer->data;
    const int wValue = setup[2] | setup[3] << 8;
    const int wLength = setup[6] | setup[7] << 8;
    std::vector<uint8_t> reply;
    if (setup[0] == 0x80 && setup[1] == 6 && (wValue >> 8) == 3) {
        const int index = wValue & 0xFF;
        if (index == 0) {
            reply = {4, 3, 0x09, 0x04};
        } else if (index == kSerialIndex && options_.hasSerial) {
            reply = {0, 3};
            for (char c : options_.engine.serial) {
                reply.push_back(static_cast<uint8_t>(c));
                reply.push_back(0);
            }
            reply[0] = static_cast<uint8_t>(reply.size());
        }
    }
    if (reply.empty()) {
        urb->status = -EPIPE;
        return;
    }
    const size_t n = std::min<size_t>(
        {reply.size(), static_cast<size_t>(wLength), static_cast<size_t>(urb->buffer_length - 8)});
    std::memcpy(setup + 8, reply.data(), n);
    urb->actual_length = static_cast<int>(n);
}

bool EmulatedEngine::Reap(Device& d, UMockdevIoctlClient* client) {
    if (d.done.empty() && !d.pendingIn.empty() && !d.gone && engine_.HasAnswer()) {
        Urb entry = d.pendingIn.front();
        d.pendingIn.pop_front();
        usbdevfs_urb* urb = UrbOf(entry.urb);
        const auto answer = engine_.TakeAnswer(static_cast<size_t>(urb->buffer_length));
        std::memcpy(entry.buffer->data, answer.data(), answer.size());
        urb->actual_length = static_cast<int>(answer.size());
        d.done.push_back(entry);
    }
    if (d.done.empty()) {
        umockdev_ioctl_client_complete(client, -1, d.gone ? ENODEV : EAGAIN);
        return TRUE;
    }
    Urb entry = d.done.front();
    d.done.pop_front();
    UMockdevIoctlData* slot = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    umockdev_ioctl_data_set_ptr(slot, 0, entry.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(slot);
    Release(entry);
    return TRUE;
}

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new()) {
    if (!InMockEnvironment()) throw std::runtime_error("the umockdev preload is not active");
    returnThread_ = std::thread([this] { ReturnLoop(); });
}

UsbTestbed::~UsbTestbed() {
    {
        std::lock_guard lock(returnMutex_);
        stopping_ = true;
    }
    returnWake_.notify_all();
    returnThread_.join();
    for (auto& device : devices_) {
        for (auto& d : device->devices_) {
            if (!d->handler) continue;
            umockdev_testbed_detach_ioctl(testbed_, d->devnode.c_str(), nullptr);
            g_signal_handler_disconnect(d->handler, d->signal);
            g_signal_handler_disconnect(d->handler, d->vanished);
            g_object_unref(d->handler);
        }
    }
    g_object_unref(testbed_);
    devices_.clear();
}

// Called with testbedMutex_ held.
void UsbTestbed::Attach(EmulatedEngine& device) {
    if (!device.options().deviceNode) return;
    EmulatedEngine::Device& d = device.current();
    d.handler = umockdev_ioctl_base_new();
    d.signal = g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(EmulatedEngine::OnIoctl), &d);
    d.vanished =
        g_signal_connect(d.handler, "client-vanished", G_CALLBACK(EmulatedEngine::OnVanished), &d);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, d.devnode.c_str(), d.handler, &error)) {
        const std::string message = error ? error->message : "?";
        if (error) g_error_free(error);
        throw std::runtime_error("attach_ioctl: " + message);
    }
}

// Called with testbedMutex_ held.
void UsbTestbed::Add(EmulatedEngine& device) {
    Attach(device);
    GError* error = nullptr;
    bool added = false;
    WithoutChildren([&] {
        added = umockdev_testbed_add_from_string(testbed_, device.Record().c_str(), &error);
    });
    if (!added) {
        const std::string message = error ? error->message : "?";
        if (error) g_error_free(error);
        throw std::runtime_error("add_from_string: " + message);
    }
}

// Called with testbedMutex_ held.
void UsbTestbed::Remove(EmulatedEngine& device) {
    WithoutChildren([&] {
        umockdev_testbed_uevent(testbed_, device.syspath().c_str(), "remove");
        umockdev_testbed_remove_device(testbed_, device.syspath().c_str());
    });
}

void UsbTestbed::WithoutChildren(const std::function<void()>& f) {
    std::unique_lock lock(childMutex_);
    ueventDue_ = true;
    childWake_.wait(lock, [this] { return children_ == 0; });
    f();
    ueventDue_ = false;
    childWake_.notify_all();
}

void UsbTestbed::BeginChild() {
    std::unique_lock lock(childMutex_);
    childWake_.wait(lock, [this] { return !ueventDue_; });
    ++children_;
}

void UsbTestbed::EndChild() {
    std::lock_guard lock(childMutex_);
    --children_;
    childWake_.notify_all();
}

EmulatedEngine& UsbTestbed::Plug(EmulatedEngineOptions options) {
    std::lock_guard lock(testbedMutex_);
    auto device = std::make_unique<EmulatedEngine>(std::move(options), nextPort_++, nextDevnum_++);
    EmulatedEngine& d = *device;
    devices_.push_back(std::move(device));
    d.restarted_ = [this](EmulatedEngine& engine) { Restarted(engine); };
    Add(d);
    if (d.options().lockedNode) {
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        const std::string dir = root;
        g_free(root);
        // The testbed directory is made 0700. A process without root's rights must read the
        // rest of it and place its udev monitor's socket there, as libusb will not start without.
        const std::string node = d.devnode();
        if (chmod(dir.c_str(), 01777) != 0 || chmod((dir + node).c_str(), 0) != 0 ||
            chmod((dir + "/ioctl" + node).c_str(), 0777) != 0) {
            throw std::runtime_error("cannot lock " + node);
        }
    }
    return d;
}

void UsbTestbed::Unplug(EmulatedEngine& device) {
    device.MarkGone();
    std::lock_guard lock(testbedMutex_);
    Remove(device);
}

// On umockdev's thread, with the engine's lock held: only queues.
void UsbTestbed::Restarted(EmulatedEngine& device) {
    const EngineSettings& settings = device.engine_.settings();
    const bool enteringLoader = device.engine_.mode() == EngineMode::App;
    {
        std::lock_guard lock(returnMutex_);
        returnsDue_.push_back(
            {&device,
             std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.rebootMs),
             !(enteringLoader && settings.noReturn), false});
    }
    returnWake_.notify_all();
}

// Takes each restarted engine off the bus at once and brings it back after its reboot time, at
// the same place with the next device number.
void UsbTestbed::ReturnLoop() {
    std::unique_lock lock(returnMutex_);
    while (!stopping_) {
        for (Return& due : returnsDue_) {
            if (due.removed) continue;
            due.removed = true;
            lock.unlock();
            {
                std::lock_guard bed(testbedMutex_);
                Remove(*due.device);
            }
            lock.lock();
        }
        std::erase_if(returnsDue_, [](const Return& r) { return r.removed && !r.comesBack; });
        if (returnsDue_.empty()) {
            returnWake_.wait(lock);
            continue;
        }
        const auto next =
            std::min_element(returnsDue_.begin(), returnsDue_.end(),
                             [](const Return& a, const Return& b) { return a.when < b.when; });
        if (std::chrono::steady_clock::now() < next->when) {
            returnWake_.wait_until(lock, next->when);
            continue;
        }
        EmulatedEngine& e = *next->device;
        returnsDue_.erase(next);
        lock.unlock();
        {
            std::lock_guard bed(testbedMutex_);
            e.engine_.Restart();
            {
                std::lock_guard engine(e.mutex_);
                auto device = std::make_unique<EmulatedEngine::Device>();
                device->engine = &e;
                device->devnum = nextDevnum_++;
                device->usblpBound = e.options_.usblpBound;  // the kernel's driver binds again
                char node[32];
                std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", device->devnum);
                device->devnode = node;
                e.devices_.push_back(std::move(device));
            }
            Add(e);
        }
        lock.lock();
        ++returned_[&e];
        returnedWake_.notify_all();
    }
}

bool UsbTestbed::WaitForReturns(EmulatedEngine& device, int restarts,
                                std::chrono::milliseconds limit) {
    std::unique_lock lock(returnMutex_);
    return returnedWake_.wait_for(lock, limit, [&] { return returned_[&device] >= restarts; });
}

ThreadWithoutRoot::ThreadWithoutRoot() {
    if (geteuid() != 0) return;
    // The raw system call changes this thread's credentials alone; glibc's wrapper would
    // change those of every thread. Real and saved ids stay root's, so the way back is open.
    if (syscall(SYS_setresuid, -1, kNobody, -1) == 0) {
        switched_ = true;
    } else {
        error_ = errno;
    }
}

ThreadWithoutRoot::~ThreadWithoutRoot() {
    if (switched_) syscall(SYS_setresuid, -1, 0, -1);
}

std::string ThreadWithoutRoot::WhyNotRefused(const EmulatedEngine& locked) const {
    if (error_) {
        return "cannot act as uid " + std::to_string(kNobody) + ": " + std::strerror(error_);
    }
    const int fd = open(locked.devnode().c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return locked.devnode() + " opens even without root's rights";
    }
    if (errno != EACCES) {
        return "opening " + locked.devnode() + " fails otherwise: " + std::strerror(errno);
    }
    return {};
}

}  // namespace kq::test
