#pragma once

#include <sys/types.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/virtual_engine.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace kq::test {

struct EmulatedEngineOptions {
    EngineSettings engine;
    bool serialInSysfs = true;  // else only the string descriptor carries it
    bool hasSerial = true;
    bool deviceNode = true;   // without a /dev node the device cannot be opened
    bool lockedNode = false;  // the /dev node has no mode bits: only root's rights open it
    bool usblpBound = false;  // the kernel's printer driver holds the interface
    bool claimedElsewhere = false;
    uint8_t interfaceClass = 7;
};

// One engine on the emulated bus: usbfs requests from libusb reach a VirtualEngine.
class EmulatedEngine {
  public:
    EmulatedEngine(EmulatedEngineOptions options, int port);
    ~EmulatedEngine();

    VirtualEngine& engine() { return engine_; }
    const std::string& syspath() const { return syspath_; }
    const std::string& devnode() const { return devnode_; }
    const EmulatedEngineOptions& options() const { return options_; }
    std::string Record() const;

    bool usblpBound();
    int detachCount();
    int claimCount();
    // Ends the device: pending transfers fail with ENODEV, as the kernel does on unplug.
    void MarkGone();

    bool HandleIoctl(UMockdevIoctlClient* client);
    void ClientGone(UMockdevIoctlClient* client);

  private:
    struct Urb {
        UMockdevIoctlData* urb;
        UMockdevIoctlData* buffer;  // may be null
        unsigned long address;
    };
    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* data);
    void Control(Urb& urb);
    bool Reap(UMockdevIoctlClient* client);
    static void Release(Urb& urb);

    EmulatedEngineOptions options_;
    VirtualEngine engine_;
    int port_;
    std::string syspath_;
    std::string devnode_;

    std::mutex mutex_;  // the ioctl handler runs on umockdev's thread
    bool gone_ = false;
    bool usblpBound_;
    const void* claimedBy_ = nullptr;  // the open file holding the interface, as in usbfs
    int detaches_ = 0;
    int claims_ = 0;
    std::deque<Urb> pendingIn_;
    std::deque<Urb> done_;

    friend class UsbTestbed;
    UMockdevIoctlBase* handler_ = nullptr;
    unsigned long signal_ = 0;
    unsigned long vanished_ = 0;
};

// A umockdev testbed holding emulated engines. Create it before any libusb context and destroy
// it after the last one is gone.
class UsbTestbed {
  public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    EmulatedEngine& Plug(EmulatedEngineOptions options = {});
    void Unplug(EmulatedEngine& device);

  private:
    UMockdevTestbed* testbed_;
    std::vector<std::unique_ptr<EmulatedEngine>> devices_;
    int nextPort_ = 1;
};

// True when the umockdev preload is active in this process.
bool InMockEnvironment();

// The user a test running as root becomes to lose root's access to a locked device node.
inline constexpr uid_t kNobody = 65534;

// While it lives the calling thread, if it runs as root, acts as kNobody. Only this thread:
// umockdev's and libusb's threads keep their rights.
class ThreadWithoutRoot {
  public:
    ThreadWithoutRoot();
    ~ThreadWithoutRoot();
    ThreadWithoutRoot(const ThreadWithoutRoot&) = delete;
    ThreadWithoutRoot& operator=(const ThreadWithoutRoot&) = delete;

    // Empty when this thread is refused the locked node, as a user without the udev rule is;
    // otherwise why a test cannot count on that here.
    std::string WhyNotRefused(const EmulatedEngine& locked) const;

  private:
    bool switched_ = false;
    int error_ = 0;
};

}  // namespace kq::test
