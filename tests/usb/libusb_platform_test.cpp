#include "usb/libusb_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "devlink/commands.h"
#include "usb_testbed.h"

namespace kq {
namespace {

using namespace std::chrono_literals;
using test::EmulatedEngineOptions;
using Clock = std::chrono::steady_clock;

std::string EnginePath(const std::string& instance) {
    return MakeInterfacePath(0xC251, 0x1706, instance, EngineInterfaceClass);
}

EmulatedEngineOptions WithSerial(const std::string& serial) {
    EmulatedEngineOptions o;
    o.engine.serial = serial;
    return o;
}

class LibusbPlatformTest : public testing::Test {
  protected:
    // libusb scans the bus when it starts: plug the engines first.
    void Start() {
        platform_ = LibusbPlatform::Create();
        ASSERT_TRUE(platform_);
        link_ = std::make_unique<DeviceLink>(*platform_);
    }
    CommandSet commands() { return CommandSet(*link_); }
    void TearDown() override {
        link_.reset();
        platform_.reset();
    }

    test::UsbTestbed bed_;
    std::unique_ptr<LibusbPlatform> platform_;
    std::unique_ptr<DeviceLink> link_;
};

TEST_F(LibusbPlatformTest, FindsTheEngineBySerialAndExchangesFrames) {
    auto& device = bed_.Plug();
    Start();
    const auto nodes = platform_->ListInterfaces(GUID_DEVINTERFACE_USB_DEVICE);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].path,
              MakeInterfacePath(0xC251, 0x1706, kEngineInstance, GUID_DEVINTERFACE_USB_DEVICE));
    EXPECT_EQ(nodes[0].serial, kEngineInstance);
    EXPECT_EQ(nodes[0].location, "bus 1 port 1");

    ASSERT_TRUE(link_->FindDevice());
    EXPECT_EQ(link_->devicePath(), EnginePath(kEngineInstance));
    // The path's digits are matched whatever their case.
    std::string upper = link_->devicePath();
    std::transform(upper.begin(), upper.begin() + 25, upper.begin(), ::toupper);
    EXPECT_TRUE(MatchVidPid(upper, 0xC251, 0x1706));

    uint8_t mode[3];
    ASSERT_TRUE(commands().GetMode(mode));
    EXPECT_EQ(std::string(mode, mode + 3), "APP");
    uint8_t id[8];
    ASSERT_TRUE(commands().GetProductId(id));
    EXPECT_EQ(FormatProductId(id), "0A-1B-2C-3D-4E-5F");
    ASSERT_TRUE(commands().SetLedCurrent(65));
    uint8_t current = 0;
    ASSERT_TRUE(commands().GetLedCurrent(current));
    EXPECT_EQ(current, 65);
    EXPECT_EQ(device.engine().current(), 65);
    // Each transfer claimed the interface on its own.
    EXPECT_GE(device.claimCount(), 8);
}

TEST_F(LibusbPlatformTest, PropertiesAreReadWhileTheDeviceIsThere) {
    auto& device = bed_.Plug();
    Start();
    const auto entries = platform_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(platform_->ReadProperty(entries[0], DeviceProperty::HardwareId),
              "USB\\VID_C251&PID_1706&REV_0100");
    EXPECT_EQ(platform_->ReadProperty(entries[0], DeviceProperty::LocationInformation),
              "bus 1 port 1");
    EXPECT_TRUE(platform_->ReadProperty(entries[0], DeviceProperty::Driver));
    EXPECT_TRUE(platform_->TestOpen(entries[0]).ok());

    bed_.Unplug(device);
    const auto deadline = Clock::now() + 5s;
    while (platform_->ReadProperty(entries[0], DeviceProperty::HardwareId) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(platform_->ReadProperty(entries[0], DeviceProperty::HardwareId));
    EXPECT_EQ(platform_->TestOpen(entries[0]).error, OpenError::Absent);
}

TEST_F(LibusbPlatformTest, AnotherInstanceIsNotTheEngine) {
    bed_.Plug(WithSerial("0002A0000000"));  // one letter in upper case
    Start();
    link_->setDevicePath("unchanged");
    EXPECT_FALSE(link_->FindDevice());
    EXPECT_EQ(link_->devicePath(), "unchanged");
    EXPECT_EQ(link_->lastDiscoveryError(), OpenError::Absent);
}

TEST_F(LibusbPlatformTest, RelaxedRetryTakesTheInterfaceWhenTheExpectedNodeIsPresent) {
    bed_.Plug(WithSerial("0002a0000009"));
    // A device node with the expected instance but no printer-class interface.
    EmulatedEngineOptions node;
    node.interfaceClass = 0xFF;
    bed_.Plug(node);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    EXPECT_EQ(link_->devicePath(), EnginePath("0002a0000009"));
    uint8_t mode[3];
    EXPECT_TRUE(commands().GetMode(mode));
}

TEST_F(LibusbPlatformTest, UnopenableInterfaceIsSkippedForTheNext) {
    EmulatedEngineOptions locked = WithSerial("0002a0000001");
    locked.deviceNode = false;
    bed_.Plug(locked);
    bed_.Plug(WithSerial("0002a0000002"));
    Start();
    const auto entries = platform_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, EnginePath("0002a0000001"));
    EXPECT_FALSE(platform_->TestOpen(entries[0]).ok());

    std::string found;
    Discovery discovery(*platform_, link_->trace());
    EXPECT_EQ(discovery.EnumerateInterfaces(EngineInterfaceClass, kEngineVendorId, kEngineProductId,
                                            kEngineInstance, nullptr, found, 1),
              1);
    EXPECT_EQ(found, EnginePath("0002a0000002"));
}

TEST_F(LibusbPlatformTest, EngineClaimedByAnotherProgramIsReportedBusy) {
    EmulatedEngineOptions o;
    o.claimedElsewhere = true;
    bed_.Plug(o);
    Start();
    EXPECT_FALSE(link_->FindDevice());
    EXPECT_EQ(link_->lastDiscoveryError(), OpenError::Busy);
    OpenResult why;
    EXPECT_FALSE(platform_->OpenPipe(EnginePath(kEngineInstance) + "\\PIPE0", &why));
    EXPECT_EQ(why.error, OpenError::Busy);
}

TEST_F(LibusbPlatformTest, EngineThisUserMayNotOpenIsAPermissionProblem) {
    EmulatedEngineOptions o;
    o.lockedNode = true;
    auto& device = bed_.Plug(o);
    Start();
    test::ThreadWithoutRoot withoutRoot;
    if (const std::string why = withoutRoot.WhyNotRefused(device); !why.empty()) {
        GTEST_SKIP() << why;
    }
    EXPECT_FALSE(link_->FindDevice());
    EXPECT_EQ(link_->lastDiscoveryError(), OpenError::NoPermission);
    // The detail names the node and how to get access to it.
    EXPECT_NE(link_->lastDiscoveryDetail().find(device.devnode()), std::string::npos)
        << link_->lastDiscoveryDetail();
    EXPECT_NE(link_->lastDiscoveryDetail().find("udev rule 70-kq7300.rules"), std::string::npos)
        << link_->lastDiscoveryDetail();
    OpenResult why;
    EXPECT_FALSE(platform_->OpenPipe(EnginePath(kEngineInstance) + "\\PIPE0", &why));
    EXPECT_EQ(why.error, OpenError::NoPermission);
}

TEST_F(LibusbPlatformTest, PrinterDriverIsDetachedOnceAndNotReattached) {
    EmulatedEngineOptions o;
    o.usblpBound = true;
    auto& device = bed_.Plug(o);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    EXPECT_TRUE(device.usblpBound());  // discovery leaves the driver alone
    uint8_t mode[3];
    ASSERT_TRUE(commands().GetMode(mode));
    ASSERT_TRUE(commands().GetMode(mode));
    EXPECT_FALSE(device.usblpBound());
    EXPECT_EQ(device.detachCount(), 1);
}

TEST_F(LibusbPlatformTest, DiscoveryWhileAPipeOfThisProcessIsOpenStillFindsTheEngine) {
    bed_.Plug();
    Start();
    ASSERT_TRUE(link_->FindDevice());
    OpenResult why;
    auto pipe = platform_->OpenPipe(link_->devicePath() + "\\PIPE1", &why);
    ASSERT_TRUE(pipe) << why.detail;
    DeviceLink other(*platform_);
    EXPECT_TRUE(other.FindDevice());
    pipe.reset();
    uint8_t mode[3];
    EXPECT_TRUE(commands().GetMode(mode));
}

TEST_F(LibusbPlatformTest, SerialComesFromTheStringDescriptorWithoutSysfs) {
    EmulatedEngineOptions o;
    o.serialInSysfs = false;
    bed_.Plug(o);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    EXPECT_EQ(link_->devicePath(), EnginePath(kEngineInstance));
}

TEST_F(LibusbPlatformTest, DeviceWithoutSerialGetsLocationInstance) {
    EmulatedEngineOptions o;
    o.hasSerial = false;
    bed_.Plug(o);
    Start();
    const auto entries = platform_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, EnginePath("&port_1-1"));
    EXPECT_TRUE(platform_->TestOpen(entries[0]).ok());
    EXPECT_FALSE(link_->FindDevice());
}

TEST_F(LibusbPlatformTest, MuteEngineTimesOutWithinItsDeadline) {
    EmulatedEngineOptions o;
    o.engine.mode = EngineMode::Mute;
    bed_.Plug(o);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    const uint8_t request[] = {0x05, 0x00, 0xFE, 0x82, 0x43};
    EXPECT_EQ(link_->Begin().PipeWrite(request, 300), 5);

    OpenResult why;
    auto pipe = platform_->OpenPipe(link_->devicePath() + "\\PIPE1", &why);
    ASSERT_TRUE(pipe) << why.detail;
    uint8_t answer[7] = {};
    const auto start = Clock::now();
    EXPECT_EQ(pipe->Read(answer, sizeof answer, 300), 0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 2000ms);
    EXPECT_NE(pipe->LastTransferError().find("300 ms"), std::string::npos);
    pipe.reset();

    uint8_t mode[3];
    EXPECT_FALSE(commands().GetMode(mode));
    EXPECT_EQ(commands().QueryDeviceMode(), DeviceMode::None);  // DevicePresent was never set
}

TEST_F(LibusbPlatformTest, UnplugDuringATransferFailsInsteadOfHanging) {
    EmulatedEngineOptions o;
    o.engine.mode = EngineMode::Mute;
    auto& device = bed_.Plug(o);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    OpenResult why;
    auto pipe = platform_->OpenPipe(link_->devicePath() + "\\PIPE1", &why);
    ASSERT_TRUE(pipe) << why.detail;
    auto reading = std::async(std::launch::async, [&] {
        uint8_t answer[7];
        return pipe->Read(answer, sizeof answer, 20000);
    });
    std::this_thread::sleep_for(200ms);
    const auto unplugged = Clock::now();
    bed_.Unplug(device);
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - unplugged, 3s);
    EXPECT_EQ(reading.get(), 0);
    EXPECT_NE(pipe->LastTransferError().find("left"), std::string::npos);
    pipe.reset();

    uint8_t mode[3];
    EXPECT_FALSE(commands().GetMode(mode));
}

}  // namespace
}  // namespace kq

namespace kq {
namespace {

// Sleeps until the engines listed are as many as count; the device list follows the testbed's
// events a little later.
std::vector<InterfaceEntry> ListWhen(LibusbPlatform& platform, size_t count) {
    const auto deadline = Clock::now() + 10s;
    auto entries = platform.ListInterfaces(EngineInterfaceClass);
    while (entries.size() != count && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        entries = platform.ListInterfaces(EngineInterfaceClass);
    }
    return entries;
}

class LibusbHoldTest : public LibusbPlatformTest {
  protected:
    // Another program on the same machine: its own libusb and its own open files.
    std::unique_ptr<LibusbPlatform> other_ = nullptr;
    void StartOther() {
        other_ = LibusbPlatform::Create();
        ASSERT_TRUE(other_);
    }
    void TearDown() override {
        other_.reset();
        LibusbPlatformTest::TearDown();
    }
};

TEST_F(LibusbHoldTest, AHoldClaimsOnceAndOtherProgramsAreBusyUntilItGoes) {
    auto& device = bed_.Plug();
    Start();
    StartOther();
    ASSERT_TRUE(link_->FindDevice());
    OpenResult why;
    auto hold = link_->HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;
    const int claims = device.claimCount();
    uint8_t mode[3];
    uint8_t id[8];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(commands().GetMode(mode));
        ASSERT_TRUE(commands().GetProductId(id));
        ASSERT_TRUE(commands().SetLedCurrent(static_cast<uint8_t>(60 + i)));
    }
    EXPECT_EQ(device.claimCount(), claims) << "no claim per transfer while held";
    // This process may still look: its own test-open and search do not trip over the hold.
    EXPECT_TRUE(link_->FindDevice());

    const auto entries = other_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(other_->TestOpen(entries[0]).error, OpenError::Busy);
    EXPECT_FALSE(other_->OpenPipe(entries[0].path + "\\PIPE0", &why));
    EXPECT_EQ(why.error, OpenError::Busy);
    EXPECT_FALSE(other_->HoldInterface(entries[0].path, &why));
    EXPECT_EQ(why.error, OpenError::Busy);
    DeviceLink otherLink(*other_);
    EXPECT_FALSE(otherLink.FindDevice());
    EXPECT_EQ(otherLink.lastDiscoveryError(), OpenError::Busy);

    hold.reset();
    EXPECT_TRUE(other_->TestOpen(entries[0]).ok());
    ASSERT_TRUE(otherLink.FindDevice());
    EXPECT_TRUE(CommandSet(otherLink).GetMode(mode));
    EXPECT_EQ(device.engine().current(), 62);
}

TEST_F(LibusbHoldTest, ABusyPipeIsToldApartFromANoAnswer) {
    bed_.Plug();
    Start();
    StartOther();
    ASSERT_TRUE(link_->FindDevice());
    OpenResult why;
    auto hold = link_->HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;
    DeviceLink otherLink(*other_);
    otherLink.setDevicePath(link_->devicePath());
    otherLink.DevicePresent = 1;
    uint8_t mode[3];
    EXPECT_FALSE(CommandSet(otherLink).GetMode(mode));
    EXPECT_EQ(otherLink.lastPipeOpen().error, OpenError::Busy);
    hold.reset();
    EXPECT_TRUE(CommandSet(otherLink).GetMode(mode));
    EXPECT_TRUE(otherLink.lastPipeOpen().ok());
}

// A request another program wrote just before the hold was taken leaves its answer behind; the
// holder's first exchange must get its own.
TEST_F(LibusbHoldTest, AHoldStartsWithoutAnotherProgramsAnswer) {
    auto& device = bed_.Plug();
    Start();
    ASSERT_TRUE(link_->FindDevice());
    const uint8_t getMode[] = {0x05, 0x00, 0xFE, 0x82, 0x43};
    ASSERT_EQ(link_->Begin().PipeWrite(getMode, 300), 5);
    ASSERT_TRUE(device.engine().HasAnswer());
    OpenResult why;
    auto hold = link_->HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;
    EXPECT_FALSE(device.engine().HasAnswer());
}

// The engine restarts into its loader and comes back at its place with a new device number: the
// hold on the device that left is dead, its pipes fail at once, and the path leads to the
// engine that came back.
TEST_F(LibusbHoldTest, AfterTheEngineReenumeratesTheOldHoldCoversNothing) {
    EmulatedEngineOptions o;
    o.engine.rebootMs = 300;
    auto& device = bed_.Plug(o);
    Start();
    ASSERT_TRUE(link_->FindDevice());
    const std::string path = link_->devicePath();
    EXPECT_EQ(link_->devicePlace(), "1-1");
    const int devnum = device.devnum();
    OpenResult why;
    auto hold = link_->HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;
    auto answers = platform_->OpenPipe(path + "\\PIPE1", &why);
    ASSERT_TRUE(answers) << why.detail;

    ASSERT_TRUE(commands().StartLoader());
    ASSERT_TRUE(bed_.WaitForReturns(device, 1, 10s));
    EXPECT_NE(device.devnum(), devnum);
    uint8_t answer[7];
    EXPECT_EQ(answers->Read(answer, sizeof answer, 20000), 0) << "no wait on a device gone";
    EXPECT_NE(answers->LastTransferError().find("left"), std::string::npos);
    answers.reset();

    const auto entries = ListWhen(*platform_, 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].place, "1-1") << "the place stays across the restart";
    EXPECT_EQ(entries[0].path, path);
    ASSERT_TRUE(link_->FindDevice());
    EXPECT_EQ(link_->devicePlace(), "1-1");
    link_->DevicePresent = 1;
    EXPECT_EQ(commands().QueryEngineState(), EngineState::Loader) << "the old hold is not used";

    // A new hold for the engine that came back; the old one goes without touching it.
    auto again = link_->HoldEngine(&why);
    ASSERT_TRUE(again) << why.detail;
    const int claims = device.claimCount();
    hold.reset();
    StartOther();
    const auto seen = other_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(other_->TestOpen(seen[0]).error, OpenError::Busy);
    EXPECT_EQ(commands().QueryEngineState(), EngineState::Loader);
    EXPECT_EQ(device.claimCount(), claims);
}

TEST_F(LibusbPlatformTest, AFailedKernelDriverQueryIsAnErrorNotABoundDriver) {
    EmulatedEngineOptions o;
    o.driverQueryFails = true;
    bed_.Plug(o);
    Start();
    const auto entries = platform_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 1u);
    const OpenResult tested = platform_->TestOpen(entries[0]);
    EXPECT_EQ(tested.error, OpenError::Other);
    EXPECT_NE(tested.detail.find("cannot tell whether a kernel driver"), std::string::npos)
        << tested.detail;
    EXPECT_FALSE(link_->FindDevice());
    EXPECT_EQ(link_->lastDiscoveryError(), OpenError::Other);
    OpenResult why;
    EXPECT_FALSE(platform_->OpenPipe(entries[0].path + "\\PIPE0", &why));
    EXPECT_EQ(why.error, OpenError::Other);
    EXPECT_FALSE(platform_->HoldInterface(entries[0].path, &why));
    EXPECT_EQ(why.error, OpenError::Other);
}

// Two engines with one serial: while the one with the serial's path restarts, the other keeps
// its own path (and can still be found by it); the one that comes back has its path again.
TEST_F(LibusbPlatformTest, ASecondEngineOfTheSerialDoesNotTakeOverThePathOfOneThatRestarts) {
    EmulatedEngineOptions slow;
    slow.engine.rebootMs = 2000;
    auto& first = bed_.Plug(slow);
    bed_.Plug();
    Start();
    const std::string serialPath = EnginePath(kEngineInstance);
    const std::string secondPath = EnginePath("&port_1-2");
    auto entries = platform_->ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, serialPath);
    EXPECT_EQ(entries[1].path, secondPath);
    EXPECT_EQ(entries[1].place, "1-2");

    link_->setFilter({.place = "1-1"});
    ASSERT_TRUE(link_->FindDevice());
    ASSERT_TRUE(commands().StartLoader());
    entries = ListWhen(*platform_, 1);
    ASSERT_EQ(entries.size(), 1u) << "the first engine is away";
    EXPECT_EQ(entries[0].path, secondPath);
    DeviceLink second(*platform_);
    second.setFilter({.path = secondPath});
    ASSERT_TRUE(second.FindDevice()) << "found through its node, which vouches for the serial";
    EXPECT_EQ(second.devicePlace(), "1-2");
    DeviceLink any(*platform_);
    EXPECT_FALSE(any.FindDevice() && any.devicePath() == serialPath);

    ASSERT_TRUE(bed_.WaitForReturns(first, 1, 10s));
    entries = ListWhen(*platform_, 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, serialPath);
    EXPECT_EQ(entries[0].place, "1-1");
    EXPECT_EQ(entries[1].path, secondPath);
}

// A path that no present engine holds goes to an engine that arrives afterwards: one moved to
// another port has its serial's path there.
TEST_F(LibusbPlatformTest, AnEngineMovedToAnotherPortTakesTheFreePath) {
    auto& first = bed_.Plug();
    Start();
    ASSERT_EQ(platform_->ListInterfaces(EngineInterfaceClass).size(), 1u);
    bed_.Unplug(first);
    ASSERT_TRUE(ListWhen(*platform_, 0).empty());
    bed_.Plug();
    const auto entries = ListWhen(*platform_, 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].place, "1-2");
    EXPECT_EQ(entries[0].path, EnginePath(kEngineInstance));
}

}  // namespace
}  // namespace kq
