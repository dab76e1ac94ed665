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

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<EmulatedEngine*>(self)->HandleIoctl(client);
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<EmulatedEngine*>(self)->ClientGone(client);
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

EmulatedEngine::EmulatedEngine(EmulatedEngineOptions options, int port)
    : options_(std::move(options)),
      engine_(options_.engine),
      port_(port),
      usblpBound_(options_.usblpBound) {
    syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", port + 1);
    devnode_ = node;
}

EmulatedEngine::~EmulatedEngine() {
    for (Urb& urb : pendingIn_) Release(urb);
    for (Urb& urb : done_) Release(urb);
}

std::string EmulatedEngine::Record() const {
    const std::string devnum = std::to_string(port_ + 1);
    std::string r = "P: " + syspath_.substr(4) + "\n";
    if (options_.deviceNode) r += "N: " + devnode_.substr(5) + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devnode_ + "\n";
    r += "H: busnum=" + TextAttribute("1") + "\n";
    r += "H: devnum=" + TextAttribute(devnum) + "\n";
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
    return usblpBound_;
}

int EmulatedEngine::detachCount() {
    std::lock_guard lock(mutex_);
    return detaches_;
}

int EmulatedEngine::claimCount() {
    std::lock_guard lock(mutex_);
    return claims_;
}

void EmulatedEngine::MarkGone() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    for (Urb& urb : pendingIn_) {
        UrbOf(urb.urb)->status = -ENODEV;
        done_.push_back(urb);
    }
    pendingIn_.clear();
}

// Closing a usbfs file gives up its claim.
void EmulatedEngine::ClientGone(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    if (claimedBy_ == client) claimedBy_ = nullptr;
}

void EmulatedEngine::Release(Urb& urb) {
    if (urb.buffer) umockdev_ioctl_data_unref(urb.buffer);
    umockdev_ioctl_data_unref(urb.urb);
}

bool EmulatedEngine::HandleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex_);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(client);
    if (request == USBDEVFS_DISCARDURB) {
        const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
            if (it->address != address) continue;
            UrbOf(it->urb)->status = -ENOENT;
            done_.push_back(*it);
            pendingIn_.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    if (gone_) {
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
            Submit(client, data);
            return TRUE;  // Submit completed the call and keeps data
        case USBDEVFS_CLAIMINTERFACE:
            if (usblpBound_ || options_.claimedElsewhere || (claimedBy_ && claimedBy_ != client)) {
                result = -1;
                error = EBUSY;
            } else {
                claimedBy_ = client;
                ++claims_;
            }
            break;
        case USBDEVFS_RELEASEINTERFACE:
            if (claimedBy_ == client) claimedBy_ = nullptr;
            break;
        case USBDEVFS_GETDRIVER: {
            auto* query = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            const char* driver = usblpBound_ ? "usblp" : claimedBy_ ? "usbfs" : nullptr;
            if (driver) {
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
                if (usblpBound_) {
                    usblpBound_ = false;
                    ++detaches_;
                } else {
                    result = -1;
                    error = ENODATA;
                }
            } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
                usblpBound_ = true;
                result = 1;  // libusb takes 1 for "a driver is bound now"
            } else {
                result = -1;
                error = ENOTTY;
            }
            break;
        }
        case USBDEVFS_DISCONNECT_CLAIM:
            if (usblpBound_) ++detaches_;
            usblpBound_ = false;
            claimedBy_ = client;
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

void EmulatedEngine::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* data) {
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
        done_.push_back(entry);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80)) {
        pendingIn_.push_back(entry);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && entry.buffer) {
        const auto effect =
            engine_.Receive(entry.buffer->data, static_cast<size_t>(urb->buffer_length));
        urb->actual_length = urb->buffer_length;
        done_.push_back(entry);
        if (effect == VirtualEngine::Effect::Unplug) gone_ = true;
    } else {
        urb->status = -EPIPE;
        done_.push_back(entry);
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

bool EmulatedEngine::Reap(UMockdevIoctlClient* client) {
    if (done_.empty() && !pendingIn_.empty() && engine_.HasAnswer()) {
        Urb entry = pendingIn_.front();
        pendingIn_.pop_front();
        usbdevfs_urb* urb = UrbOf(entry.urb);
        const auto answer = engine_.TakeAnswer(static_cast<size_t>(urb->buffer_length));
        std::memcpy(entry.buffer->data, answer.data(), answer.size());
        urb->actual_length = static_cast<int>(answer.size());
        done_.push_back(entry);
    }
    if (done_.empty()) {
        umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return TRUE;
    }
    Urb entry = done_.front();
    done_.pop_front();
    UMockdevIoctlData* slot = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    umockdev_ioctl_data_set_ptr(slot, 0, entry.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(slot);
    Release(entry);
    return TRUE;
}

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new()) {
    if (!InMockEnvironment()) throw std::runtime_error("the umockdev preload is not active");
}

UsbTestbed::~UsbTestbed() {
    for (auto& device : devices_) {
        if (!device->handler_) continue;
        umockdev_testbed_detach_ioctl(testbed_, device->devnode_.c_str(), nullptr);
        g_signal_handler_disconnect(device->handler_, device->signal_);
        g_signal_handler_disconnect(device->handler_, device->vanished_);
        g_object_unref(device->handler_);
    }
    g_object_unref(testbed_);
    devices_.clear();
}

EmulatedEngine& UsbTestbed::Plug(EmulatedEngineOptions options) {
    auto device = std::make_unique<EmulatedEngine>(std::move(options), nextPort_++);
    EmulatedEngine& d = *device;
    devices_.push_back(std::move(device));
    if (d.options().deviceNode) {
        d.handler_ = umockdev_ioctl_base_new();
        d.signal_ = g_signal_connect(d.handler_, "handle-ioctl", G_CALLBACK(OnIoctl), &d);
        d.vanished_ = g_signal_connect(d.handler_, "client-vanished", G_CALLBACK(OnVanished), &d);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, d.devnode().c_str(), d.handler_, &error)) {
            const std::string message = error ? error->message : "?";
            if (error) g_error_free(error);
            throw std::runtime_error("attach_ioctl: " + message);
        }
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, d.Record().c_str(), &error)) {
        const std::string message = error ? error->message : "?";
        if (error) g_error_free(error);
        throw std::runtime_error("add_from_string: " + message);
    }
    if (d.options().lockedNode) {
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        const std::string dir = root;
        g_free(root);
        // The testbed directory is made 0700. A process without root's rights must read the
        // rest of it and place its udev monitor's socket there, as libusb will not start without.
        if (chmod(dir.c_str(), 01777) != 0 || chmod((dir + d.devnode()).c_str(), 0) != 0 ||
            chmod((dir + "/ioctl" + d.devnode()).c_str(), 0777) != 0) {
            throw std::runtime_error("cannot lock " + d.devnode());
        }
    }
    return d;
}

void UsbTestbed::Unplug(EmulatedEngine& device) {
    device.MarkGone();
    umockdev_testbed_uevent(testbed_, device.syspath().c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, device.syspath().c_str());
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
