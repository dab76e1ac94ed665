// The Windows platform against the system's own SetupAPI (wine's, in the cross build's tests).

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "devlink/discovery.h"
#include "devlink/link.h"
#include "usb/backend.h"
#include "win32/setupapi_platform.h"
#include "win32/system_setupapi.h"

namespace kq {
namespace {

// The HID interface class: present on every Windows and in every wine prefix (keyboard, mouse).
constexpr Guid kHidClass{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Wine adds its HID devices a moment after the first program of a prefix starts: give them time.
std::vector<InterfaceEntry> ListHid(DevicePlatform& platform) {
    std::vector<InterfaceEntry> entries = platform.ListInterfaces(kHidClass);
    for (int attempt = 0; attempt < 30 && entries.empty(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        entries = platform.ListInterfaces(kHidClass);
    }
    return entries;
}

TEST(SystemPlatformTest, WithoutAnEngineNothingIsFound) {
    const auto platform = MakeSystemPlatform();
    ASSERT_NE(platform, nullptr);
    EXPECT_TRUE(platform->ListInterfaces(EngineInterfaceClass).empty());
    DeviceLink link(*platform);
    link.setDevicePath("previous");
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.devicePath(), "previous");
    EXPECT_EQ(link.lastDiscoveryError(), OpenError::Absent);
}

TEST(SystemPlatformTest, AnAbsentInterfaceAndItsPipesAreAbsent) {
    const auto platform = MakeSystemPlatform();
    InterfaceEntry absent;
    absent.path = MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
    EXPECT_EQ(platform->TestOpen(absent).error, OpenError::Absent);
    OpenResult why;
    EXPECT_EQ(platform->OpenPipe(absent.path + "\\PIPE0", &why), nullptr);
    EXPECT_EQ(why.error, OpenError::Absent) << why.detail;
    EXPECT_NE(why.detail.find("error"), std::string::npos) << why.detail;
}

TEST(SystemPlatformTest, ListsPresentInterfacesWithDetailsAndProperties) {
    win32::SetupApiPlatform platform(win32::MakeSystemSetupApi());
    const std::vector<InterfaceEntry> entries = ListHid(platform);
    if (entries.empty()) GTEST_SKIP() << "no HID interfaces on this system";
    for (const InterfaceEntry& entry : entries) {
        EXPECT_TRUE(entry.detailOk);
        EXPECT_EQ(entry.path.rfind("\\\\?\\", 0), 0u) << entry.path;
        EXPECT_NE(entry.path.find(kHidClass.ToString()), std::string::npos) << entry.path;
        EXPECT_TRUE(platform.ReadProperty(entry, DeviceProperty::Driver)) << entry.path;
        const auto hardwareId = platform.ReadProperty(entry, DeviceProperty::HardwareId);
        ASSERT_TRUE(hardwareId) << entry.path;
        EXPECT_FALSE(hardwareId->empty());
    }
}

TEST(SystemPlatformTest, TheSearchRulesHoldOverTheSystemsLists) {
    win32::SetupApiPlatform platform(win32::MakeSystemSetupApi());
    const std::vector<InterfaceEntry> entries = ListHid(platform);
    if (entries.empty()) GTEST_SKIP() << "no HID interfaces on this system";
    const InterfaceEntry& first = entries.front();
    uint32_t vid = 0;
    uint32_t pid = 0;
    ParseVidPid(first.path, vid, pid);
    std::string instance;
    ExtractInstance(first.path, instance);
    const bool opens = platform.TestOpen(first).ok();
    const bool located = platform.ReadProperty(first, DeviceProperty::LocationInformation)
                             .has_value();  // wine keeps no location for its devices

    WireTrace trace;
    Discovery discovery(platform, trace);
    std::string path;
    EXPECT_EQ(
        discovery.EnumerateInterfaces(kHidClass, vid, pid, instance.c_str(), nullptr, path, 0),
        located && opens ? 1 : 0);
    path.clear();
    EXPECT_EQ(
        discovery.EnumerateInterfaces(kHidClass, vid, pid, instance.c_str(), nullptr, path, 1),
        opens ? 1 : 0)
        << "the relaxed search does not ask for the location";
    if (opens) {
        EXPECT_EQ(path, first.path);
    }
}

}  // namespace
}  // namespace kq
