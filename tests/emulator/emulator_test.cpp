#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "devlink/commands.h"
#include "emulator/virtual_bus.h"

namespace kq {
namespace {

TEST(EngineSettingsTest, ParsesEveryKey) {
    std::string error;
    auto s = ParseEngineSettings(
        "mode=loader,product-id=0102030405060708,current=255,block-size=4096,serial=ABC,"
        "vid=1234,pid=ABcd,reboot-ms=0,fault=crc@3+drop@1+unplug@9+odd-mode@4+no-return+"
        "no-return-after-finish+kill@5+term@6+hup@7,flash=in.bin,flash-out=out.bin",
        &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->mode, EngineMode::Loader);
    EXPECT_EQ(s->productId[7], 0x08);
    EXPECT_EQ(s->current, 255);
    EXPECT_EQ(s->blockSize, 4096u);
    EXPECT_EQ(s->serial, "ABC");
    EXPECT_EQ(s->vid, 0x1234);
    EXPECT_EQ(s->pid, 0xABCD);
    EXPECT_EQ(s->rebootMs, 0);
    EXPECT_EQ(s->crcFaults, std::set<uint64_t>{3});
    EXPECT_EQ(s->dropFaults, std::set<uint64_t>{1});
    EXPECT_EQ(s->unplugFaults, std::set<uint64_t>{9});
    EXPECT_EQ(s->oddModeFaults, std::set<uint64_t>{4});
    EXPECT_TRUE(s->noReturn);
    EXPECT_TRUE(s->noReturnAfterFinish);
    EXPECT_EQ(s->killFaults, std::set<uint64_t>{5});
    EXPECT_EQ(s->termFaults, std::set<uint64_t>{6});
    EXPECT_EQ(s->hupFaults, std::set<uint64_t>{7});
    EXPECT_EQ(s->flashFile, "in.bin");
    EXPECT_EQ(s->flashOutFile, "out.bin");
    EXPECT_TRUE(ParseEngineSettings("", &error));
}

TEST(EngineSettingsTest, RefusesWhatItDoesNotUnderstand) {
    for (const char* bad : {"colour=red",
                            "mode=sleepy",
                            "product-id=0102",
                            "product-id=01020304050607zz",
                            "current=256",
                            "current=-1",
                            "block-size=x",
                            "vid=12345",
                            "pid=",
                            "reboot-ms=-5",
                            "fault=crc",
                            "fault=crc@0",
                            "fault=melt@3",
                            "fault=drop@2+",
                            "mode",
                            "serial=a#b",
                            "flash=",
                            "flash-out=",
                            "fault=kill@0",
                            "fault=term@x"}) {
        std::string error;
        EXPECT_FALSE(ParseEngineSettings(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

class EngineTest : public ::testing::Test {
  protected:
    std::shared_ptr<VirtualEngine> Attach(const std::string& settings) {
        std::string error;
        auto s = ParseEngineSettings(settings, &error);
        EXPECT_TRUE(s) << error;
        engine = bus.Plug(*s);
        EXPECT_TRUE(link.FindDevice());
        link.DevicePresent = 1;
        return engine;
    }

    CountingSleeper sleeper;
    VirtualBus bus{&sleeper};
    DeviceLink link{bus, &sleeper};
    CommandSet commands{link};
    std::shared_ptr<VirtualEngine> engine;
};

TEST_F(EngineTest, KeepsTheStateItIsToldAndReportsIt) {
    Attach("current=7");
    uint8_t current = 0;
    ASSERT_TRUE(commands.GetLedCurrent(current));
    EXPECT_EQ(current, 7);
    EXPECT_TRUE(commands.SetLedCurrent(65));
    EXPECT_TRUE(commands.SetLedSwitch(0));
    EXPECT_TRUE(commands.SetPower(false));
    EXPECT_TRUE(commands.SetFlip(1, 1));
    EXPECT_EQ(engine->current(), 65);
    EXPECT_FALSE(engine->ledOn());
    EXPECT_FALSE(engine->powerOn());
    EXPECT_EQ(engine->flipMode(), 4);
    EXPECT_EQ(engine->frames().size(), 5u);
}

TEST_F(EngineTest, IgnoresDamagedFramesAndUnknownCommands) {
    Attach("");
    auto transaction = link.Begin();
    const uint8_t unknown[] = {0x42};
    EXPECT_TRUE(transaction.SendFrame(unknown, 50));
    uint8_t answer[1];
    EXPECT_FALSE(transaction.ReceiveFrame(answer, 50));
    const uint8_t damaged[] = {0x05, 0x00, 0xFE, 0x82, 0x44};
    EXPECT_EQ(transaction.PipeWrite(damaged, 50), 5);
    uint8_t mode[3];
    EXPECT_FALSE(transaction.ReceiveFrame(mode, 50));
    EXPECT_EQ(engine->frames().size(), 2u) << "tests can read every frame received";
}

TEST_F(EngineTest, FaultsHitTheNumberedRequest) {
    Attach("fault=crc@1+drop@2+unplug@4");
    uint8_t mode[3];
    EXPECT_FALSE(commands.GetMode(mode)) << "request 1: bad CRC";
    EXPECT_FALSE(commands.GetMode(mode)) << "request 2: dropped";
    EXPECT_TRUE(commands.GetMode(mode));
    std::vector<HotplugEvent> events;
    bus.Start([&](const HotplugEvent& e) { events.push_back(e); });
    EXPECT_FALSE(commands.GetMode(mode)) << "request 4: the engine leaves";
    EXPECT_FALSE(bus.IsPresent(engine));
    EXPECT_FALSE(link.FindDevice());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, DeviceEventKind::Removal);
    EXPECT_EQ(events[0].path, VirtualBus::EnginePath(*engine));
    bus.Stop();
}

TEST_F(EngineTest, StartLoaderAndFinishRebootIntoTheOtherMode) {
    Attach("reboot-ms=0");
    std::vector<HotplugEvent> events;
    bus.Start([&](const HotplugEvent& e) { events.push_back(e); });
    EXPECT_TRUE(commands.StartLoader());
    EXPECT_EQ(engine->mode(), EngineMode::Loader);
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    EXPECT_TRUE(commands.FinishUpgrade());
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Application);
    bus.Stop();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[1].kind, DeviceEventKind::Removal);
    EXPECT_EQ(events[2].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(events[0].path, events[3].path) << "a removal carries its arrival's path";
    EXPECT_EQ(events[0].interfaceClass, EngineInterfaceClass);
}

TEST_F(EngineTest, ReturnsAfterTheRebootTimeUnlessToldNotTo) {
    Attach("reboot-ms=30");
    EXPECT_TRUE(commands.StartLoader());
    EXPECT_FALSE(bus.IsPresent(engine));
    for (int i = 0; i < 200 && !bus.IsPresent(engine); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(bus.IsPresent(engine));
    EXPECT_EQ(engine->mode(), EngineMode::Loader);

    EngineSettings gone;
    gone.serial = "gone";
    gone.noReturn = true;
    gone.rebootMs = 0;
    auto other = bus.Plug(gone);
    link.setDevicePath(VirtualBus::EnginePath(*other));
    EXPECT_TRUE(commands.StartLoader());
    EXPECT_FALSE(bus.IsPresent(other));
}

// Restarts pending at once come back each after its own time, whichever was asked first.
TEST_F(EngineTest, TwoRestartsPendingAtOnceBothComeBack) {
    EngineSettings slow;
    slow.serial = "0002a0000001";
    slow.rebootMs = 300;
    EngineSettings quick = slow;
    quick.serial = "0002a0000002";
    quick.rebootMs = 100;
    auto first = bus.Plug(slow);
    auto second = bus.Plug(quick);
    link.DevicePresent = 1;
    link.setDevicePath(VirtualBus::EnginePath(*first));
    ASSERT_TRUE(commands.StartLoader());
    // The timer now waits for the first return while the second is queued beside it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    link.setDevicePath(VirtualBus::EnginePath(*second));
    ASSERT_TRUE(commands.StartLoader());
    EXPECT_FALSE(bus.IsPresent(first));
    EXPECT_FALSE(bus.IsPresent(second));
    for (int i = 0; i < 300 && !bus.IsPresent(second); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(bus.IsPresent(second));
    EXPECT_FALSE(bus.IsPresent(first)) << "the first restart takes longer";
    for (int i = 0; i < 300 && !bus.IsPresent(first); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(bus.IsPresent(first));
    EXPECT_EQ(first->mode(), EngineMode::Loader);
    EXPECT_EQ(second->mode(), EngineMode::Loader);
}

// Paths are given at arrival: one engine's restart changes no other engine's path, and each
// keeps its place on the bus.
TEST_F(EngineTest, TwoEnginesOfOneSerialKeepTheirPathsAndPlacesAcrossARestart) {
    EngineSettings settings;
    settings.rebootMs = 0;
    settings.noReturn = true;
    auto first = bus.Plug(settings);
    auto second = bus.Plug(settings);
    const auto paths = [&] {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& e : bus.ListInterfaces(EngineInterfaceClass)) {
            out.emplace_back(e.path, e.place);
        }
        return out;
    };
    const auto before = paths();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].first, VirtualBus::EnginePath(*first));
    EXPECT_EQ(before[1].first, MakeInterfacePath(0xC251, 0x1706, "&port_2", EngineInterfaceClass));
    EXPECT_EQ(before[0].second, "virtual-1");
    EXPECT_EQ(before[1].second, "virtual-2");

    link.DevicePresent = 1;
    link.setDevicePath(before[0].first);
    ASSERT_TRUE(commands.StartLoader());
    EXPECT_EQ(paths(), (std::vector{before[1]})) << "the other engine's path stays";
    bus.ReturnNow(first);
    EXPECT_EQ(first->mode(), EngineMode::Loader);
    EXPECT_EQ(paths(), before);

    // Both away, the second back first: it takes the serial, the first gets its port.
    bus.Unplug(first);
    bus.Unplug(second);
    bus.Replug(second);
    bus.Replug(first);
    const auto after = paths();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].first, MakeInterfacePath(0xC251, 0x1706, "&port_1", EngineInterfaceClass));
    EXPECT_EQ(after[1].first, VirtualBus::EnginePath(*second));
}

// Holds model another program's claim and end when the engine leaves.
TEST_F(EngineTest, HoldsAreRefusedWhileAnotherProgramHasTheEngineAndEndWithItsRestart) {
    Attach("reboot-ms=0");
    bus.Configure(engine, [](VirtualBus::Slot& s) { s.busyHolds = 1; });
    OpenResult why;
    EXPECT_EQ(link.HoldEngine(&why), nullptr);
    EXPECT_EQ(why.error, OpenError::Busy);
    auto hold = link.HoldEngine(&why);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(bus.Holders(engine), 1);
    hold.reset();
    EXPECT_EQ(bus.Holders(engine), 0);

    hold = link.HoldEngine(&why);
    EXPECT_TRUE(commands.StartLoader());
    EXPECT_EQ(bus.Holders(engine), 0) << "the restart ends the hold";
    auto again = link.HoldEngine(&why);
    EXPECT_EQ(bus.Holders(engine), 1);
    hold.reset();
    EXPECT_EQ(bus.Holders(engine), 1) << "the hold of the earlier arrival is gone already";

    link.setDevicePath("none");
    EXPECT_EQ(link.HoldEngine(&why), nullptr);
    EXPECT_EQ(why.error, OpenError::Absent);
}

TEST_F(EngineTest, OddModeAnswersAndNoReturnAfterTheFinish) {
    Attach("mode=loader,reboot-ms=0,fault=odd-mode@2+no-return-after-finish");
    uint8_t mode[3] = {};
    ASSERT_TRUE(commands.GetMode(mode));
    EXPECT_EQ(std::string(mode, mode + 3), "BLD");
    ASSERT_TRUE(commands.GetMode(mode));
    EXPECT_EQ(std::string(mode, mode + 3), "APQ");
    EXPECT_TRUE(commands.FinishUpgrade());
    EXPECT_FALSE(bus.IsPresent(engine));
    bus.ReturnNow(engine);
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Application);
}

TEST_F(EngineTest, BlocksGoToRamInTheApplicationAndToFlashInTheLoader) {
    Attach("reboot-ms=0,block-size=512");
    EXPECT_EQ(commands.GetBlockSize(), 512u);
    const std::vector<uint8_t> data{1, 2, 3, 4};
    EXPECT_TRUE(commands.WriteBlockVerified(0x10, 4, data.data()));
    EXPECT_EQ(engine->loaderRam()[0x10], 1);
    EXPECT_EQ(engine->flash()[0x10], 0xFF);
    commands.StartLoader();
    EXPECT_TRUE(commands.WriteBlockVerified(0x2400, 4, data.data()));
    std::vector<uint8_t> back(4);
    EXPECT_TRUE(commands.ReadBlock(0x2400, 4, back.data()));
    EXPECT_EQ(back, data);
    EXPECT_EQ(engine->flash()[0x2403], 4);
    EXPECT_FALSE(commands.ReadBlock(VirtualEngine::kFlashSize - 2, 4, back.data()))
        << "no answer beyond the memory";
}

TEST_F(EngineTest, AMuteEngineAnswersNothing) {
    Attach("mode=mute");
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    EXPECT_EQ(commands.GetBlockSize(), 0u);
    EXPECT_GE(sleeper.total(), std::chrono::milliseconds(2000)) << "each read waits its deadline";
}

TEST_F(EngineTest, UnopenableEnginesAreSkippedWithTheReason) {
    engine = bus.Plug();
    bus.Configure(engine, [](VirtualBus::Slot& s) { s.openError = OpenError::Busy; });
    EXPECT_FALSE(link.FindDevice());
    EXPECT_EQ(link.lastDiscoveryError(), OpenError::Busy);
}

// flash=FILE starts the flash with known bytes and flash-out=FILE keeps every block written
// to it as it arrives, so a test can see what an engine held when its process died.
TEST(EngineFilesTest, FlashFilesGiveTheStartAndKeepEveryBlockWritten) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kq-engine-flash-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
    const auto in = dir / "in.bin";
    const auto out = dir / "out.bin";
    std::ofstream(in, std::ios::binary) << "old!";
    const auto read = [&] {
        std::ifstream file(out, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
    };
    {
        // The engine keeps its file open while it lives (Windows cannot remove it before).
        CountingSleeper sleeper;
        VirtualBus bus{&sleeper};
        DeviceLink link{bus, &sleeper};
        CommandSet commands{link};
        const auto engine = bus.Plug(*ParseEngineSettings(
            "mode=loader,flash=" + in.string() + ",flash-out=" + out.string(), nullptr));
        EXPECT_TRUE(link.FindDevice());
        link.DevicePresent = 1;
        EXPECT_EQ(engine->fileError(), "");
        EXPECT_EQ(engine->flash()[3], '!');
        EXPECT_EQ(engine->flash()[4], 0xFF);
        const std::vector<uint8_t> data{1, 2, 3, 4};
        EXPECT_TRUE(commands.WriteBlockVerified(0x2400, 4, data.data()));
        EXPECT_EQ(read(), engine->flash()) << "the file holds the block before the engine ends";
        EXPECT_EQ(read().size(), VirtualEngine::kFlashSize);
        bus.Unplug(engine);
    }
    VirtualEngine missing(*ParseEngineSettings("flash=" + (dir / "none").string(), nullptr));
    EXPECT_NE(missing.fileError().find("cannot read"), std::string::npos);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

#ifndef _WIN32
std::atomic<int> g_signals{0};
extern "C" void CountSignal(int) {
    ++g_signals;
}

// term@N and hup@N signal the engine's own process as request N arrives, before it is acted on.
TEST_F(EngineTest, SignalFaultsRaiseInTheEnginesProcessAtTheirRequest) {
    struct sigaction count {};
    count.sa_handler = CountSignal;
    struct sigaction term {};
    struct sigaction hup {};
    sigaction(SIGTERM, &count, &term);
    sigaction(SIGHUP, &count, &hup);
    Attach("fault=term@2+hup@3");
    uint8_t current = 0;
    EXPECT_TRUE(commands.GetLedCurrent(current));
    EXPECT_EQ(g_signals, 0);
    EXPECT_TRUE(commands.GetLedCurrent(current)) << "the request is still answered";
    EXPECT_EQ(g_signals, 1);
    EXPECT_TRUE(commands.SetLedCurrent(9));
    EXPECT_EQ(g_signals, 2);
    EXPECT_EQ(engine->current(), 9);
    sigaction(SIGTERM, &term, nullptr);
    sigaction(SIGHUP, &hup, nullptr);
}
#endif

}  // namespace
}  // namespace kq
