#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <vector>

#include "devlink/link.h"
#include "usb/libusb_platform.h"
#include "usb_testbed.h"

namespace kq {
namespace {

using namespace std::chrono_literals;

class Recorder {
  public:
    HotplugSource::Sink sink() {
        return [this](const HotplugEvent& e) {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
            changed_.notify_all();
        };
    }
    // Waits (sleeping) until count events have come.
    std::vector<HotplugEvent> WaitFor(size_t count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
        return events_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HotplugEvent> events_;
};

}  // namespace

void PrintTo(LibusbHotplug::Mode mode, std::ostream* os) {
    *os << (mode == LibusbHotplug::Mode::Polling ? "polling" : "callbacks");
}

namespace {

class HotplugTest : public testing::TestWithParam<LibusbHotplug::Mode> {
  protected:
    test::UsbTestbed bed_;
};

TEST_P(HotplugTest, ArrivalAndRemovalCarryTheSamePaths) {
    EngineSettings other;
    other.serial = "0002a0000007";
    test::EmulatedEngineOptions present;
    present.engine = other;
    auto& before = bed_.Plug(present);

    auto source = LibusbHotplug::Create(GetParam());
    ASSERT_TRUE(source);
    EXPECT_EQ(source->polling(), GetParam() == LibusbHotplug::Mode::Polling);
    Recorder recorder;
    source->Start(recorder.sink());

    auto& device = bed_.Plug();
    auto events = recorder.WaitFor(2);
    ASSERT_EQ(events.size(), 2u) << "no arrival of the plugged engine";
    const std::string node =
        MakeInterfacePath(0xC251, 0x1706, kEngineInstance, GUID_DEVINTERFACE_USB_DEVICE);
    const std::string engine =
        MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
    EXPECT_EQ(events[0].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(events[0].interfaceClass, GUID_DEVINTERFACE_USB_DEVICE);
    EXPECT_EQ(events[0].path, node);
    EXPECT_EQ(events[1].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(events[1].interfaceClass, EngineInterfaceClass);
    EXPECT_EQ(events[1].path, engine);

    bed_.Unplug(device);
    events = recorder.WaitFor(4);
    ASSERT_EQ(events.size(), 4u) << "no removal of the unplugged engine";
    EXPECT_EQ(events[2].kind, DeviceEventKind::Removal);
    EXPECT_EQ(events[2].path, engine);
    EXPECT_EQ(events[3].kind, DeviceEventKind::Removal);
    EXPECT_EQ(events[3].path, node);

    // The engine present at the start gave no arrival, but its removal is told.
    bed_.Unplug(before);
    events = recorder.WaitFor(6);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[4].path,
              MakeInterfacePath(0xC251, 0x1706, "0002a0000007", EngineInterfaceClass));
    EXPECT_EQ(events[4].kind, DeviceEventKind::Removal);

    source->Stop();
    bed_.Plug(present);
    EXPECT_EQ(recorder.WaitFor(7, 1500ms).size(), 6u) << "an event after Stop";
}

INSTANTIATE_TEST_SUITE_P(Modes, HotplugTest,
                         testing::Values(LibusbHotplug::Mode::Automatic,
                                         LibusbHotplug::Mode::Polling),
                         [](const auto& param) {
                             return param.param == LibusbHotplug::Mode::Polling ? "Polling"
                                                                                : "Callbacks";
                         });

}  // namespace
}  // namespace kq
