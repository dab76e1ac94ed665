#include "win32/setupapi_platform.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "devlink/discovery.h"
#include "devlink/link.h"
#include "fake_setupapi.h"

namespace kq {
namespace {

using win32::SetupApiPlatform;
using Interface = test::FakeSetupApi::Interface;

std::string EnginePath(std::string_view instance, uint16_t vid = 0xC251, uint16_t pid = 0x1706) {
    return MakeInterfacePath(vid, pid, instance, EngineInterfaceClass);
}

std::string NodePath(std::string_view instance) {
    return MakeInterfacePath(0xC251, 0x1706, instance, GUID_DEVINTERFACE_USB_DEVICE);
}

const std::string kEngineClass = EngineInterfaceClass.ToString();
const std::string kNodeClass = GUID_DEVINTERFACE_USB_DEVICE.ToString();
// The test-open's arguments: GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
// FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL.
const std::string kTestOpenArguments = " 0x40000000 0x1 4 0x8000080";

class SetupApiPlatformTest : public ::testing::Test {
  protected:
    SetupApiPlatformTest()
        : fake_(new test::FakeSetupApi),
          api(*fake_),
          platform(std::unique_ptr<win32::SetupApi>(fake_)),
          link(platform) {}

    void TearDown() override {
        EXPECT_TRUE(api.liveLists.empty()) << "every device list is destroyed";
        EXPECT_EQ(api.openFiles, 0) << "every test-open is closed";
        EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), "BAD LIST"), 0);
    }

    Interface& Add(std::string path, Guid cls = EngineInterfaceClass) {
        Interface i;
        i.path = std::move(path);
        i.interfaceClass = cls;
        api.interfaces.push_back(i);
        return api.interfaces.back();
    }

    // The calls from the first "list" of the given class on, up to and including its "destroy".
    std::vector<std::string> CallsOfList(const std::string& cls, int occurrence = 1) {
        std::vector<std::string> out;
        int seen = 0;
        bool inside = false;
        for (const std::string& call : api.calls) {
            if (call.rfind("list " + cls, 0) == 0 && ++seen == occurrence) inside = true;
            if (!inside) continue;
            out.push_back(call);
            if (call == "destroy") break;
        }
        return out;
    }

    size_t Count(std::string_view prefix) const {
        return std::count_if(api.calls.begin(), api.calls.end(),
                             [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }

  private:
    test::FakeSetupApi* fake_;  // owned by the platform

  protected:
    test::FakeSetupApi& api;
    SetupApiPlatform platform;
    DeviceLink link;
};

TEST_F(SetupApiPlatformTest, FindsTheEngineWithTheCallsOfOneEnumeration) {
    const std::string path = EnginePath("0002a0000000");
    Add(path);
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), path);
    const std::string size = std::to_string(8 + path.size() + 1);
    EXPECT_EQ(api.calls, (std::vector<std::string>{
                             "list " + kEngineClass + " 0x12",
                             "enum 0",
                             "detail-size 0",
                             "detail 0 " + size,
                             "property 0 35",  // the place, for listings
                             "enum 1",
                             "property 0 9",
                             "property 0 13",
                             "property 0 1",
                             "open " + path + kTestOpenArguments,
                             "close",
                             "destroy",
                         }));
}

TEST_F(SetupApiPlatformTest, AFailedPropertyEndsTheWholeSearch) {
    // Another printer-class device comes first; its hardware id cannot be read.
    Add(EnginePath("x", 0x04B8, 0x0005)).failingProperties = {win32::kSpdrpHardwareId};
    Add(EnginePath("0002a0000000"));
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), "");
    EXPECT_EQ(Count("open "), 0u) << "the engine behind it is never tried";
    // The search goes on with the USB device nodes (none here), so nothing follows.
    EXPECT_EQ(CallsOfList(kNodeClass),
              (std::vector<std::string>{"list " + kNodeClass + " 0x12", "enum 0", "destroy"}));
}

TEST_F(SetupApiPlatformTest, EachOfTheThreePropertiesGatesTheSearch) {
    for (uint32_t property :
         {win32::kSpdrpDriver, win32::kSpdrpLocationInformation, win32::kSpdrpHardwareId}) {
        api.interfaces.clear();
        Add(EnginePath("0002a0000000")).failingProperties = {property};
        EXPECT_FALSE(link.FindDevice()) << property;
    }
}

TEST_F(SetupApiPlatformTest, FailedDetailsEndTheWholeSearch) {
    Add(EnginePath("0002a0000000")).detailFails = true;
    Add(EnginePath("0002a0000000", 0xC251, 0x1706) + "-second");
    EXPECT_FALSE(link.FindDevice());
    const std::vector<std::string> first = CallsOfList(kEngineClass);
    EXPECT_EQ(first.back(), "destroy");
    EXPECT_EQ(std::count(first.begin(), first.end(), "enum 1"), 0)
        << "no interface after the failed one is asked for";
    EXPECT_EQ(Count("property "), 0u);
    EXPECT_EQ(Count("open "), 0u);
}

TEST_F(SetupApiPlatformTest, AnInterfaceWithoutMemoryForItsDetailsIsSkipped) {
    Add(EnginePath("0002a0000000") + "-first").noMemory = true;
    Add(EnginePath("0002a0000000"));
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), EnginePath("0002a0000000"));
}

TEST_F(SetupApiPlatformTest, RelaxedRetryTakesAnotherInstanceWhenTheDeviceNodeVouches) {
    const std::string engine = EnginePath("0002A0000000");  // the instance letter differs
    Add(engine);
    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), engine);
    // Three enumerations: the engine class, the device nodes, the engine class relaxed.
    EXPECT_EQ(Count("list "), 3u);
    EXPECT_EQ(Count("destroy"), 3u);
    const std::vector<std::string> relaxed = CallsOfList(kEngineClass, 2);
    EXPECT_EQ(std::count(relaxed.begin(), relaxed.end(), "property 0 13"), 0)
        << "the relaxed search does not read the location";
    EXPECT_EQ(std::count(relaxed.begin(), relaxed.end(), "property 0 9"), 1);
    EXPECT_EQ(std::count(relaxed.begin(), relaxed.end(), "property 0 1"), 1);
}

TEST_F(SetupApiPlatformTest, WithoutTheVouchingDeviceNodeAnotherInstanceIsNotTaken) {
    Add(EnginePath("0002A0000000"));
    link.setDevicePath("previous");
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), "previous") << "a failed search leaves the path alone";
    EXPECT_EQ(Count("list "), 2u);
}

TEST_F(SetupApiPlatformTest, AnUnreadableLocationOnlyStopsTheStrictSearch) {
    const std::string engine = EnginePath("0002a0000000");
    Add(engine).failingProperties = {win32::kSpdrpLocationInformation};
    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    ASSERT_TRUE(link.FindDevice()) << "found by the relaxed retry, which skips the location";
    EXPECT_EQ(link.devicePath(), engine);
}

TEST_F(SetupApiPlatformTest, AnInterfaceThatCannotBeOpenedIsSkipped) {
    // The same engine under a second spelling of its path: the numbers are read case-blind.
    const std::string busy = "\\\\?\\USB#VID_C251&PID_1706#0002a0000000#" + kEngineClass;
    const std::string free = EnginePath("0002a0000000");
    Add(busy).openError = win32::kErrorSharingViolation;
    Add(free);
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), free);
    EXPECT_EQ(Count("open "), 2u);
    EXPECT_EQ(Count("close"), 1u) << "only what was opened is closed";
}

TEST_F(SetupApiPlatformTest, TheReasonAnEngineCouldNotBeOpenedIsKept) {
    const struct {
        uint32_t error;
        OpenError expected;
    } cases[] = {
        {win32::kErrorAccessDenied, OpenError::NoPermission},
        {win32::kErrorSharingViolation, OpenError::Busy},
        {win32::kErrorFileNotFound, OpenError::Absent},
        {87, OpenError::Other},  // ERROR_INVALID_PARAMETER
    };
    for (const auto& c : cases) {
        api.interfaces.clear();
        Add(EnginePath("0002a0000000")).openError = c.error;
        EXPECT_FALSE(link.FindDevice());
        EXPECT_EQ(link.lastDiscoveryError(), c.expected) << c.error;
        if (c.expected != OpenError::Absent) {
            EXPECT_EQ(link.lastDiscoveryDetail(), "error " + std::to_string(c.error));
        }
    }
}

TEST_F(SetupApiPlatformTest, OtherNumbersAreNotTheEngine) {
    Add(EnginePath("0002a0000000", 0xC252, 0x1706));
    Add(EnginePath("0002a0000000", 0xC251, 0x1707));
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.lastDiscoveryError(), OpenError::Absent);
}

TEST_F(SetupApiPlatformTest, NoListNoDestroy) {
    api.listFails = true;
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(Count("destroy"), 0u);
    EXPECT_EQ(Count("enum "), 0u);
}

TEST_F(SetupApiPlatformTest, EntriesKeepTheirListForPropertyReads) {
    Add(EnginePath("0002a0000000"));
    Add(EnginePath("5&1f2e3d4c&0&2"));
    std::vector<InterfaceEntry> entries = platform.ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].serial, "0002a0000000");
    EXPECT_EQ(entries[1].serial, "") << "an instance Windows made up is no serial number";
    EXPECT_EQ(Count("destroy"), 0u);
    const InterfaceEntry second = entries[1];
    entries.clear();
    EXPECT_EQ(platform.ReadProperty(second, DeviceProperty::Driver), "value 9");
    EXPECT_EQ(Count("destroy"), 0u) << "a copy of an entry still holds the list";
}

TEST_F(SetupApiPlatformTest, AnEntryOfAnotherPlatformHasNoProperties) {
    InterfaceEntry foreign;
    foreign.path = EnginePath("0002a0000000");
    EXPECT_EQ(platform.ReadProperty(foreign, DeviceProperty::HardwareId), std::nullopt);
}

TEST_F(SetupApiPlatformTest, WithoutAPipeOpenerNoPipeOpens) {
    OpenResult why;
    EXPECT_EQ(platform.OpenPipe(EnginePath("0002a0000000") + "\\PIPE0", &why), nullptr);
    EXPECT_EQ(why.error, OpenError::Absent);
}

TEST(OpenFailureTest, TellsPermissionBusyAndAbsentApart) {
    using namespace win32;
    EXPECT_EQ(OpenFailure(kErrorAccessDenied, "t").error, OpenError::NoPermission);
    for (uint32_t e : {kErrorSharingViolation, kErrorBusy, kErrorPipeBusy}) {
        EXPECT_EQ(OpenFailure(e, "t").error, OpenError::Busy) << e;
    }
    for (uint32_t e : {kErrorFileNotFound, kErrorPathNotFound, kErrorDevNotExist,
                       kErrorNoSuchDevice, kErrorDeviceNotConnected}) {
        EXPECT_EQ(OpenFailure(e, "t").error, OpenError::Absent) << e;
    }
    EXPECT_EQ(OpenFailure(1, "t").error, OpenError::Other);
    EXPECT_EQ(OpenFailure(1, "the text").detail, "the text");
}

// The place names the port: the location path, else the location information; a place that
// cannot be read gates nothing.
TEST_F(SetupApiPlatformTest, ThePlaceIsTheLocationOfThePort) {
    const std::string port2 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
    Interface& first = Add(EnginePath("0002a0000000"));
    first.properties[win32::kSpdrpLocationPaths] = port2;
    Interface& second = Add(EnginePath("&port2"));
    second.failingProperties = {win32::kSpdrpLocationPaths};
    second.properties[win32::kSpdrpLocationInformation] = "Port_#0003.Hub_#0001";
    Add(EnginePath("&port3")).failingProperties = {win32::kSpdrpLocationPaths,
                                                   win32::kSpdrpLocationInformation};
    const auto entries = platform.ListInterfaces(EngineInterfaceClass);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].place, port2);
    EXPECT_EQ(entries[1].place, "Port_#0003.Hub_#0001");
    EXPECT_EQ(entries[2].place, "");

    link.setFilter({.place = port2});
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePlace(), port2);
}

// The driver's pipes as a test sees them: every open, every transfer, every close.
class FakePipes {
  public:
    struct Pipe final : win32::DriverPipe {
        Pipe(FakePipes& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
        ~Pipe() override { owner_.calls.push_back("close " + path_); }
        int32_t Write(const uint8_t*, uint32_t count, int) override {
            owner_.calls.push_back("write " + path_);
            return Moved(static_cast<int32_t>(count));
        }
        int32_t Read(uint8_t*, uint32_t count, int) override {
            owner_.calls.push_back("read " + path_);
            return Moved(static_cast<int32_t>(std::min<uint32_t>(count, 7)));
        }
        bool EngineLeft() const override { return left_; }

      private:
        int32_t Moved(int32_t n) {
            left_ = owner_.engineGone;
            return owner_.engineGone ? 0 : n;
        }
        FakePipes& owner_;
        std::string path_;
        bool left_ = false;
    };

    std::unique_ptr<Pipe> Open(std::string_view path, OpenResult* why, const char* how) {
        calls.push_back(std::string(how) + " " + std::string(path));
        if (busy.count(std::string(path))) {
            if (why) *why = {OpenError::Busy, "error 32"};
            return nullptr;
        }
        if (why) *why = {};
        return std::make_unique<Pipe>(*this, std::string(path));
    }

    std::vector<std::string> calls;
    std::set<std::string> busy;
    bool engineGone = false;
};

class SetupApiHoldTest : public ::testing::Test {
  protected:
    SetupApiHoldTest()
        : platform(
              std::make_unique<test::FakeSetupApi>(),
              [this](std::string_view p, OpenResult* why) { return pipes.Open(p, why, "open"); },
              [this](std::string_view p, OpenResult* why) { return pipes.Open(p, why, "hold"); }) {}

    const std::string path = EnginePath("0002a0000000");
    FakePipes pipes;
    SetupApiPlatform platform;
};

TEST_F(SetupApiHoldTest, AHoldOpensEachPipeOnceAndEveryTransferUsesIt) {
    OpenResult why;
    auto hold = platform.HoldInterface(path, &why);
    ASSERT_TRUE(hold) << why.detail;
    uint8_t buffer[7] = {};
    for (int i = 0; i < 2; ++i) {
        auto request = platform.OpenPipe(path + "\\PIPE0", &why);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->Write(buffer, 5, 100), 5);
        auto answer = platform.OpenPipe(path + "\\PIPE1", &why);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->Read(buffer, 7, 100), 7);
    }
    // This process's own search does not open what it holds.
    InterfaceEntry entry;
    entry.path = path;
    EXPECT_TRUE(platform.TestOpen(entry).ok());
    auto second = platform.HoldInterface(path, &why);
    ASSERT_TRUE(second);
    hold.reset();
    EXPECT_TRUE(platform.OpenPipe(path + "\\PIPE0", &why));
    second.reset();
    const std::string p0 = path + "\\PIPE0";
    const std::string p1 = path + "\\PIPE1";
    EXPECT_EQ(pipes.calls, (std::vector<std::string>{"hold " + p0, "hold " + p1, "write " + p0,
                                                     "read " + p1, "write " + p0, "read " + p1,
                                                     "close " + p1, "close " + p0}));
    // Without a hold, a pipe per transfer as before.
    pipes.calls.clear();
    EXPECT_TRUE(platform.OpenPipe(p1, &why));
    EXPECT_EQ(pipes.calls, (std::vector<std::string>{"open " + p1, "close " + p1}));
}

TEST_F(SetupApiHoldTest, APipeAnotherProgramHasMakesTheHoldBusy) {
    pipes.busy.insert(path + "\\PIPE1");
    OpenResult why;
    EXPECT_FALSE(platform.HoldInterface(path, &why));
    EXPECT_EQ(why.error, OpenError::Busy);
    EXPECT_EQ(pipes.calls,
              (std::vector<std::string>{"hold " + path + "\\PIPE0", "hold " + path + "\\PIPE1",
                                        "close " + path + "\\PIPE0"}));
}

// The engine restarted: the held handles are dead, the transfer on them fails, and from then on
// the path is opened per transfer again, or held anew.
TEST_F(SetupApiHoldTest, OnceTheEngineLeftTheHoldCoversNothing) {
    OpenResult why;
    auto hold = platform.HoldInterface(path, &why);
    ASSERT_TRUE(hold);
    pipes.engineGone = true;
    uint8_t buffer[5] = {};
    EXPECT_EQ(platform.OpenPipe(path + "\\PIPE0", &why)->Write(buffer, 5, 100), 0);
    pipes.engineGone = false;
    pipes.calls.clear();
    EXPECT_EQ(platform.OpenPipe(path + "\\PIPE0", &why)->Write(buffer, 5, 100), 5);
    EXPECT_EQ(pipes.calls.front(), "open " + path + "\\PIPE0");
    auto again = platform.HoldInterface(path, &why);
    ASSERT_TRUE(again);
    EXPECT_EQ(pipes.calls.at(3), "hold " + path + "\\PIPE0");
}

TEST(SetupApiPlatformHold, WithoutAHoldOpenerNothingIsHeld) {
    SetupApiPlatform platform(std::make_unique<test::FakeSetupApi>());
    OpenResult why;
    EXPECT_TRUE(platform.HoldInterface(EnginePath("0002a0000000"), &why));
    EXPECT_TRUE(why.ok());
}

}  // namespace
}  // namespace kq
