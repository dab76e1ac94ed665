// Device notifications: the window is handed WM_DEVICECHANGE as the system sends it.

#include "win32/device_notifications.h"

#include <gtest/gtest.h>
// dbt.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "devlink/discovery.h"
#include "usb/backend.h"
#include "win32/guid_conversion.h"

namespace kq {
namespace {

using win32::DeviceNotificationSource;

// A DEV_BROADCAST_DEVICEINTERFACE_A with its name, as the system builds it.
std::vector<char> Broadcast(const Guid& interfaceClass, const std::string& name) {
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<char> bytes(kNameAt + name.size() + 1);
    DEV_BROADCAST_DEVICEINTERFACE_A header{};
    header.dbcc_size = static_cast<DWORD>(bytes.size());
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = win32::ToGuid(interfaceClass);
    std::memcpy(bytes.data(), &header, kNameAt);
    std::memcpy(bytes.data() + kNameAt, name.c_str(), name.size() + 1);
    return bytes;
}

class DeviceNotificationTest : public ::testing::Test {
  protected:
    void Start() {
        source.Start([this](const HotplugEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            threads.push_back(std::this_thread::get_id());
        });
    }
    LRESULT Send(WPARAM kind, const std::vector<char>& broadcast) {
        return SendMessageA(static_cast<HWND>(window), WM_DEVICECHANGE, kind,
                            reinterpret_cast<LPARAM>(broadcast.data()));
    }
    std::vector<HotplugEvent> Events() {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::vector<HotplugEvent> events;
    std::vector<std::thread::id> threads;
    // Last, so that it stops before what its sink uses goes.
    DeviceNotificationSource source;
    void* window = nullptr;

    // The name as Windows spells it in a notification: upper case, the class in lower case.
    const std::string enginePath =
        "\\\\?\\USB#VID_C251&PID_1706#0002a0000000#" + EngineInterfaceClass.ToString();
};

TEST_F(DeviceNotificationTest, RegistersForBothClassesOnAWindowOfItsOwn) {
    Start();
    EXPECT_NE(source.window(), nullptr);
    EXPECT_EQ(source.registrations(), 2);
    source.Stop();
    EXPECT_EQ(source.window(), nullptr);
}

TEST_F(DeviceNotificationTest, ArrivalAndRemovalReachTheSinkOnTheSourcesThread) {
    Start();
    window = source.window();
    ASSERT_NE(window, nullptr);
    const auto engine = Broadcast(EngineInterfaceClass, enginePath);
    const auto node = Broadcast(GUID_DEVINTERFACE_USB_DEVICE, "\\\\?\\USB#VID_C251&PID_1706#x");
    EXPECT_EQ(Send(DBT_DEVICEARRIVAL, engine), TRUE);
    Send(DBT_DEVICEARRIVAL, node);
    Send(DBT_DEVICEREMOVECOMPLETE, engine);
    const auto got = Events();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(got[0].interfaceClass, EngineInterfaceClass);
    EXPECT_EQ(got[0].path, enginePath);
    EXPECT_TRUE(MatchVidPid(got[0].path, kEngineVendorId, kEngineProductId));
    EXPECT_EQ(got[1].interfaceClass, GUID_DEVINTERFACE_USB_DEVICE);
    EXPECT_EQ(got[2].kind, DeviceEventKind::Removal);
    EXPECT_EQ(got[2].path, enginePath);
    std::lock_guard lock(mutex);
    for (const auto& id : threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(DeviceNotificationTest, OtherClassesAndOtherChangesAreNotPassedOn) {
    Start();
    window = source.window();
    const Guid hid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    Send(DBT_DEVICEARRIVAL, Broadcast(hid, "\\\\?\\HID#VID_C251&PID_1706#x"));
    Send(DBT_DEVICEQUERYREMOVE, Broadcast(EngineInterfaceClass, enginePath));
    SendMessageA(static_cast<HWND>(window), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(Events().empty());
}

TEST_F(DeviceNotificationTest, NothingArrivesAfterStop) {
    Start();
    window = source.window();
    source.Stop();
    EXPECT_FALSE(IsWindow(static_cast<HWND>(window)));
    Send(DBT_DEVICEARRIVAL, Broadcast(EngineInterfaceClass, enginePath));
    EXPECT_TRUE(Events().empty());
    source.Stop();  // a second Stop is harmless
}

TEST_F(DeviceNotificationTest, StartsAgainAfterStop) {
    Start();
    source.Stop();
    Start();
    window = source.window();
    ASSERT_NE(window, nullptr);
    Send(DBT_DEVICEARRIVAL, Broadcast(EngineInterfaceClass, enginePath));
    EXPECT_EQ(Events().size(), 1u);
}

TEST(SystemHotplugTest, TheSystemsSourceIsTheWindowsNotifications) {
    auto hotplug = MakeSystemHotplug();
    ASSERT_NE(hotplug, nullptr);
    auto* source = dynamic_cast<DeviceNotificationSource*>(hotplug.get());
    ASSERT_NE(source, nullptr);
    source->Start([](const HotplugEvent&) {});
    EXPECT_EQ(source->registrations(), 2);
    source->Stop();
}

}  // namespace
}  // namespace kq
