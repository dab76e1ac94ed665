#include "devlink/discovery.h"

#include <gtest/gtest.h>

#include "devlink/link.h"
#include "scripted_platform.h"

namespace kq {
namespace {

std::string EnginePath(std::string_view instance, uint16_t vid = 0xC251, uint16_t pid = 0x1706) {
    return MakeInterfacePath(vid, pid, instance, EngineInterfaceClass);
}

std::string NodePath(std::string_view instance) {
    return MakeInterfacePath(0xC251, 0x1706, instance, GUID_DEVINTERFACE_USB_DEVICE);
}

TEST(PathParsingTest, ReadsTheFixedPositions) {
    uint32_t vid = 0;
    uint32_t pid = 0;
    ParseVidPid("\\\\?\\usb#VID_C251&PID_1706#0002a0000000#{x}", vid, pid);
    EXPECT_EQ(vid, 0xC251u);
    EXPECT_EQ(pid, 0x1706u);
    EXPECT_TRUE(MatchVidPid(EnginePath("abc"), 0xC251, 0x1706));
    EXPECT_FALSE(MatchVidPid(EnginePath("abc", 0xC252), 0xC251, 0x1706));
    EXPECT_FALSE(MatchVidPid(EnginePath("abc", 0xC251, 0x1707), 0xC251, 0x1706));

    std::string instance;
    ExtractInstance(EnginePath("0002a0000000"), instance);
    EXPECT_EQ(instance, "0002a0000000");
    ExtractInstance("\\\\?\\usb#vid_c251&pid_1706#", instance);
    EXPECT_EQ(instance, "");
    ExtractInstance("\\\\?\\usb#vid_c251&pid_1706#" + std::string(400, 'z'), instance);
    EXPECT_EQ(instance.size(), 260u);
    ExtractInstance("\\\\?\\usb#vid_c251&pid_1706##a#b", instance);
    EXPECT_EQ(instance, "#a") << "the first character is taken whatever it is";
}

TEST(PathParsingTest, ShortPathsMatchNothing) {
    for (std::string_view path : {"", "\\\\?\\usb#vid_c251", "\\\\?\\usb#vid_c251&pid_17"}) {
        EXPECT_FALSE(MatchVidPid(path, 0xC251, 0x1706)) << path;
        std::string instance = "stale";
        ExtractInstance(path, instance);
        EXPECT_EQ(instance, "");
    }
    uint32_t vid = 0;
    uint32_t pid = 0;
    ParseVidPid("\\\\?\\usb#vid_c251&p", vid, pid);
    EXPECT_EQ(vid, 0xC251u);
    EXPECT_NE(pid, 0u);
    EXPECT_FALSE(MatchVidPid("\\\\?\\usb#vid_0000&pid_", 0, 0));
}

class DiscoveryTest : public ::testing::Test {
  protected:
    DiscoveryTest() : link(platform) {}
    void Add(std::string path, Guid cls = EngineInterfaceClass) {
        test::ScriptedPlatform::Entry e;
        e.path = std::move(path);
        e.cls = cls;
        platform.entries.push_back(e);
    }
    test::ScriptedPlatform platform;
    DeviceLink link;
};

TEST_F(DiscoveryTest, FindsTheEngineWithTheExpectedInstance) {
    Add(EnginePath("somethingelse"));
    Add(EnginePath("0002a0000000"));
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), EnginePath("0002a0000000"));
    EXPECT_EQ(link.lastDiscoveryError(), OpenError::None);
}

TEST_F(DiscoveryTest, InstanceMustMatchExactlyUnlessTheDeviceNodeVouchesForIt) {
    link.setDevicePath("previous");
    Add(EnginePath("0002A0000000"));  // letters are case-sensitive
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), "previous") << "a failed search keeps DevicePath";

    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    ASSERT_TRUE(link.FindDevice()) << "relaxed retry takes the engine whatever its instance";
    EXPECT_EQ(link.devicePath(), EnginePath("0002A0000000"));
}

TEST_F(DiscoveryTest, VendorAndProductDigitsMatchInEitherCase) {
    Add("\\\\?\\USB#VID_C251&PID_1706#0002a0000000#{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}");
    EXPECT_TRUE(link.FindDevice());
}

TEST_F(DiscoveryTest, UnopenableInterfacesAreSkippedAndTheReasonKept) {
    Add(EnginePath("0002a0000000"));
    platform.entries.back().openError = OpenError::NoPermission;
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.lastDiscoveryError(), OpenError::NoPermission);

    Add(EnginePath("0002a0000000", 0xC251, 0x1706) + "x");  // same engine, second interface
    platform.entries.back().path = "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#second";
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#second");
}

TEST_F(DiscoveryTest, AnUnreadablePropertyEndsThatEnumeration) {
    Add(EnginePath("printer", 0x1234, 0x5678));
    platform.entries.back().failingProperty = DeviceProperty::HardwareId;
    Add(EnginePath("0002a0000000"));
    EXPECT_FALSE(link.FindDevice()) << "the engine behind the broken interface is not reached";

    // Step 2 then finds the device node; the relaxed step does not read the location.
    platform.entries[0].failingProperty = DeviceProperty::LocationInformation;
    EXPECT_FALSE(link.FindDevice());
    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    EXPECT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), EnginePath("0002a0000000"));
}

TEST_F(DiscoveryTest, UnreadableDetailsEndTheSearch) {
    Add(EnginePath("x"));
    platform.entries.back().detailOk = false;
    Add(EnginePath("0002a0000000"));
    EXPECT_FALSE(link.FindDevice());
}

TEST_F(DiscoveryTest, EnumerateInterfacesHonoursTheAlternativeInstance) {
    Add(EnginePath("first"));
    Add(EnginePath("second"));
    Discovery discovery(platform, link.trace());
    std::string out;
    EXPECT_EQ(
        discovery.EnumerateInterfaces(EngineInterfaceClass, 0xC251, 0x1706, "x", "second", out, 1),
        1);
    EXPECT_EQ(out, EnginePath("second"));
    EXPECT_EQ(
        discovery.EnumerateInterfaces(EngineInterfaceClass, 0xC251, 0x1706, "x", nullptr, out, 1),
        1);
    EXPECT_EQ(out, EnginePath("first"));
    EXPECT_EQ(
        discovery.EnumerateInterfaces(EngineInterfaceClass, 0xC251, 0x1706, "x", "none", out, 1),
        0);
}

TEST_F(DiscoveryTest, AFilterPicksOneEngineAmongSeveral) {
    const std::string first = "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#first";
    const std::string second = "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#second";
    Add(first);
    platform.entries.back().serial = "A";
    Add(second);
    platform.entries.back().serial = "B";
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), first) << "no filter: the first engine";

    link.setFilter({.serial = "B", .path = ""});
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), second);
    link.setFilter({.serial = "", .path = first});
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), first);
    link.setFilter({.serial = "C", .path = ""});
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), first);

    // The device node that vouches for the instance is another device: the filter spares it.
    Add(EnginePath("0002a0000009"));
    platform.entries.back().serial = "C";
    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    platform.entries.back().serial = "N";
    ASSERT_TRUE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), EnginePath("0002a0000009"));
}

// The search after a restart: only the engine at the place it left, and only when it is the
// one engine there; without a place, only the one engine listed at all.
TEST_F(DiscoveryTest, ANarrowedSearchTakesOnlyTheOneEngineThatPasses) {
    struct Engine {
        std::string instance;
        std::string place;
        OpenError openError = OpenError::None;
    };
    struct Case {
        const char* name;
        std::vector<Engine> engines;
        std::string place;
        bool found;
        EngineSighting seen;
        OpenError reason = OpenError::None;
    };
    const Case cases[] = {
        {"at its place, another elsewhere",
         {{"0002a0000000", "1-2"}, {"&port_1-1", "1-1"}},
         "1-1",
         true,
         {1, 1, 2}},
        {"only another engine",
         {{"0002a0000000", "1-2"}},
         "1-1",
         false,
         {0, 1, 1},
         OpenError::Absent},
        {"two at the place",
         {{"0002a0000000", "1-1"}, {"&port_1-1", "1-1"}},
         "1-1",
         false,
         {2, 0, 2}},
        {"busy at its place, free elsewhere",
         {{"&port_1-1", "1-1", OpenError::Busy}, {"0002a0000000", "1-2"}},
         "1-1",
         false,
         {0, 1, 2},
         OpenError::Busy},
        {"no place, one engine", {{"0002a0000000", ""}}, "", true, {1, 0, 1}},
        {"no place, a second one unusable",
         {{"0002a0000000", ""}, {"&port_2", "", OpenError::Busy}},
         "",
         false,
         {1, 0, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform.entries.clear();
        for (const Engine& e : c.engines) {
            Add(EnginePath(e.instance));
            platform.entries.back().place = e.place;
            platform.entries.back().openError = e.openError;
        }
        Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
        link.setDevicePath("before");
        EngineSighting seen;
        EXPECT_EQ(link.FindOnlyDevice({.serial = "", .path = "", .place = c.place}, &seen),
                  c.found);
        EXPECT_EQ(seen.admitted, c.seen.admitted);
        EXPECT_EQ(seen.elsewhere, c.seen.elsewhere);
        EXPECT_EQ(seen.listed, c.seen.listed);
        if (c.found) {
            EXPECT_EQ(link.devicePlace(), c.place);
            EXPECT_EQ(link.lastDiscoveryError(), OpenError::None);
        } else {
            EXPECT_EQ(link.devicePath(), "before");
            if (c.reason != OpenError::None) {
                EXPECT_EQ(link.lastDiscoveryError(), c.reason);
            }
        }
    }
    // The link's own serial still holds; its path gives way to the place, as a restart may have
    // given the engine another path.
    platform.entries.clear();
    Add(EnginePath("&port_1-1"));
    platform.entries.back().place = "1-1";
    platform.entries.back().serial = "A";
    Add(NodePath("0002a0000000"), GUID_DEVINTERFACE_USB_DEVICE);
    link.setFilter({.serial = "B", .path = ""});
    EXPECT_FALSE(link.FindOnlyDevice({.serial = "", .path = "", .place = "1-1"}));
    link.setFilter({.serial = "A", .path = EnginePath("0002a0000000")});
    EXPECT_TRUE(link.FindOnlyDevice({.serial = "", .path = "", .place = "1-1"}));
    EXPECT_EQ(link.devicePath(), EnginePath("&port_1-1"));
    EXPECT_FALSE(link.FindDevice()) << "the link's filter itself is left as it was";
}

}  // namespace
}  // namespace kq
