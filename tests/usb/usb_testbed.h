#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    bool driverQueryFails = false;  // asking which driver holds the interface fails (EIO)
    uint8_t interfaceClass = 7;
};

// One engine on the emulated bus: usbfs requests from libusb reach a VirtualEngine. When the
// engine restarts (StartLoader, FinishUpgrade) it leaves the bus and, after its reboot time,
// comes back at the same place with the next device number, as a real one re-enumerates; the
// files opened on the device it was keep failing with ENODEV.
class EmulatedEngine {
  public:
    EmulatedEngine(EmulatedEngineOptions options, int port, int devnum);
    ~EmulatedEngine();

    VirtualEngine& engine() { return engine_; }
    const std::string& syspath() const { return syspath_; }
    // The sysfs name of its place on the bus, "1-2" at port 2 of the root hub.
    std::string place() const;
    // Of the device as it is now (or was last).
    std::string devnode() const;
    int devnum() const;
    const EmulatedEngineOptions& options() const { return options_; }
    std::string Record();

    bool usblpBound();
    int detachCount();
    int claimCount();
    // Ends the device: pending transfers fail with ENODEV, as the kernel does on unplug.
    void MarkGone();

  private:
    struct Urb {
        UMockdevIoctlData* urb;
        UMockdevIoctlData* buffer;  // may be null
        unsigned long address;
    };
    // The device between one enumeration and its end.
    struct Device {
        EmulatedEngine* engine;
        int devnum;
        std::string devnode;
        bool gone = false;
        bool usblpBound;
        const void* claimedBy = nullptr;  // the open file holding the interface, as in usbfs
        std::deque<Urb> pendingIn;
        std::deque<Urb> done;
        UMockdevIoctlBase* handler = nullptr;
        unsigned long signal = 0;
        unsigned long vanished = 0;
    };
    static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device);
    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device);
    bool HandleIoctl(Device& d, UMockdevIoctlClient* client);
    void Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* data);
    void Control(Urb& urb);
    bool Reap(Device& d, UMockdevIoctlClient* client);
    static void Release(Urb& urb);
    static void EndDevice(Device& d);
    Device& current() const { return *devices_.back(); }

    EmulatedEngineOptions options_;
    VirtualEngine engine_;
    int port_;
    std::string syspath_;

    mutable std::mutex mutex_;                      // the ioctl handler runs on umockdev's thread
    std::vector<std::unique_ptr<Device>> devices_;  // every enumeration, the present one last
    int detaches_ = 0;
    int claims_ = 0;
    // Called (with mutex_ held) when a request made the engine restart; the testbed brings it
    // back. Must not call back into the engine.
    std::function<void(EmulatedEngine&)> restarted_;

    friend class UsbTestbed;
};

// A umockdev testbed holding emulated engines. Create it before any libusb context and destroy
// it after the last one is gone.
class UsbTestbed {
  public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // At the next free port of the root hub.
    EmulatedEngine& Plug(EmulatedEngineOptions options = {});
    void Unplug(EmulatedEngine& device);
    // Sleeps until the engine has come back after restarts times in all; false after limit.
    bool WaitForReturns(EmulatedEngine& device, int restarts, std::chrono::milliseconds limit);

    // umockdev aborts the test when a process it sends a uevent to ends between its connect and
    // its send. A short-lived child (a poll) runs between BeginChild and EndChild; arrivals and
    // removals wait until none runs, and new children wait for them.
    void BeginChild();
    void EndChild();

  private:
    void Attach(EmulatedEngine& device);
    void Add(EmulatedEngine& device);
    void Remove(EmulatedEngine& device);
    void Restarted(EmulatedEngine& device);
    void ReturnLoop();

    // Sends a uevent (through f) while no short-lived child runs.
    void WithoutChildren(const std::function<void()>& f);

    UMockdevTestbed* testbed_;
    std::mutex childMutex_;  // guards the two that follow
    std::condition_variable childWake_;
    int children_ = 0;
    bool ueventDue_ = false;
    std::mutex testbedMutex_;  // testbed calls come from the test and from the return thread
    std::vector<std::unique_ptr<EmulatedEngine>> devices_;
    int nextPort_ = 1;
    int nextDevnum_ = 2;

    struct Return {
        EmulatedEngine* device;
        std::chrono::steady_clock::time_point when;
        bool comesBack;
        bool removed;
    };
    std::mutex returnMutex_;  // guards what follows
    std::condition_variable returnWake_;
    std::condition_variable returnedWake_;
    std::vector<Return> returnsDue_;
    std::map<const EmulatedEngine*, int> returned_;
    bool stopping_ = false;
    std::thread returnThread_;
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
