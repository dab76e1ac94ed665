#include "devlink/commands.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstring>
#include <ctime>
#include <thread>

#include "emulator/virtual_bus.h"
#include "scripted_platform.h"

namespace kq {
namespace {

using test::Bytes;

const std::string kPath = MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);

// The codec's own tests check its frames byte by byte; here it only wraps payloads.
std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
    return *BuildFrame(payload);
}

class CommandTest : public ::testing::Test {
  protected:
    CommandTest() : link(platform, &sleeper) {
        platform.entries.push_back({kPath});
        link.setDevicePath(kPath);
        link.DevicePresent = 1;
    }
    test::ScriptedPlatform platform;
    CountingSleeper sleeper;
    DeviceLink link;
    CommandSet commands{link};
};

TEST_F(CommandTest, OperatingCommandsSendTheWorkedFrames) {
    EXPECT_TRUE(commands.SetFlip(1, 0));
    EXPECT_TRUE(commands.SetFlip(0, 0));
    EXPECT_TRUE(commands.SetFlip(1, 1));
    EXPECT_TRUE(commands.SetFlip(0, 1));
    EXPECT_TRUE(commands.SetFlip(2, 1));  // not a flag: neither axis
    EXPECT_TRUE(commands.SetLedCurrent(50));
    EXPECT_TRUE(commands.SetPower(false));
    EXPECT_TRUE(commands.SetPower(true));
    EXPECT_TRUE(commands.SetLedSwitch(0));
    const std::vector<std::vector<uint8_t>> expected = {
        Bytes({0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0}),
        Bytes({0x07, 0x00, 0x09, 0x00, 0x01, 0x01, 0xDA}),
        Bytes({0x07, 0x00, 0x09, 0x00, 0x04, 0x01, 0xC4}),
        Frame({0x09, 0x00, 0x03}),
        Frame({0x09, 0x00, 0x01}),
        Bytes({0x07, 0x00, 0x01, 0x00, 0x32, 0x81, 0xD3}),
        Bytes({0x06, 0x00, 0x03, 0x02, 0xF2, 0x0F}),
        Frame({0x03, 0x01}),
        Bytes({0x06, 0x00, 0x02, 0x00, 0xF4, 0x03}),
    };
    EXPECT_EQ(platform.written(), expected);
    for (const auto& op : platform.ops()) EXPECT_TRUE(op.write) << "no command here reads";
}

TEST_F(CommandTest, QueriesSendTheirRequestAndReadTheirAnswer) {
    platform.answers = {Frame({'A', 'P', 'P'}), Frame({42}),
                        Frame({0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x0E}),
                        Frame({0x00, 0x04, 0x00, 0x00}), Frame(std::vector<uint8_t>(64, 0x5A))};
    uint8_t mode[3];
    ASSERT_TRUE(commands.GetMode(mode));
    uint8_t current = 0;
    ASSERT_TRUE(commands.GetLedCurrent(current));
    EXPECT_EQ(current, 42);
    uint8_t id[8];
    ASSERT_TRUE(commands.GetProductId(id));
    EXPECT_EQ(FormatProductId(id), "0A-1B-2C-3D-4E-5F");
    EXPECT_EQ(id[6], 0x60);
    EXPECT_EQ(id[7], 2) << "byte 7 is handed over modulo 12";
    EXPECT_EQ(commands.GetBlockSize(), 1024u);
    std::vector<uint8_t> block(64);
    // Work given to the pause sees the bytes, and the pause stays whole.
    bool sawBlock = false;
    ASSERT_TRUE(commands.ReadBlock(0x2400, 64, block.data(), [&] {
        sawBlock = block == std::vector<uint8_t>(64, 0x5A) && sleeper.total().count() == 0;
    }));
    EXPECT_TRUE(sawBlock);
    EXPECT_EQ(block, std::vector<uint8_t>(64, 0x5A));

    const auto ops = platform.ops();
    ASSERT_EQ(ops.size(), 10u);
    EXPECT_EQ(ops[0].bytes, Bytes({0x05, 0x00, 0xFE, 0x82, 0x43}));
    EXPECT_EQ(ops[1].bytes.size(), 7u);
    EXPECT_EQ(ops[2].bytes, Bytes({0x06, 0x00, 0x01, 0x01, 0x7E, 0x06}));
    EXPECT_EQ(ops[4].bytes, Frame({0xF8, 0x00}));
    EXPECT_EQ(ops[6].bytes, Frame({0xFA}));
    EXPECT_EQ(ops[8].bytes, Bytes({0x0D, 0x00, 0xFC, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
                                   0x64, 0x91}));
    EXPECT_EQ(ops[9].bytes.size(), 68u);
    EXPECT_EQ(sleeper.total(), std::chrono::milliseconds(20)) << "ReadBlock pauses 20 ms";
}

// The timeout is the transfer's deadline on USB, so each command must pass its own.
TEST_F(CommandTest, EachCommandPassesItsTimeoutAndOnlyWritesFlush) {
    platform.answers = {Frame({0}), Frame({0, 0, 0, 0, 0, 0, 0, 0}), {},
                        Frame({0}), Frame({'A', 'P', 'P'}),          Frame({1})};
    uint8_t buffer[8];
    const uint8_t one = 1;
    commands.SetLedCurrent(1);
    commands.GetLedCurrent(buffer[0]);
    commands.SetLedSwitch(1);
    commands.SetPower(true);
    commands.SetFlip(0, 0);
    commands.GetProductId(buffer);
    commands.StartLoader();
    commands.GetBlockSize();
    commands.ReadBlock(0, 1, buffer);
    commands.FinishUpgrade();
    commands.GetMode(buffer);
    commands.WriteBlockVerified(0, 1, &one);
    std::vector<std::pair<bool, int>> seen;
    for (const auto& op : platform.ops()) seen.emplace_back(op.write, op.timeoutMs);
    const std::vector<std::pair<bool, int>> expected = {
        {true, 100},   {true, 50},   {false, 50},   {true, 50},   {true, 1000},
        {true, 50},    {true, 1000}, {false, 1000}, {true, 2000}, {true, 1000},
        {false, 1000}, {true, 2000}, {false, 2000}, {true, 2000}, {true, 1000},
        {false, 1000}, {true, 2000}, {true, 2000},  {false, 2000}};
    EXPECT_EQ(seen, expected);
    const auto ops = platform.ops();
    EXPECT_EQ(ops[2].bytes.size(), 5u) << "GetLedCurrent reads a 5-byte frame";
    EXPECT_EQ(ops[7].bytes.size(), 12u) << "GetProductId reads a 12-byte frame";
    const size_t writes =
        std::count_if(ops.begin(), ops.end(), [](const auto& op) { return op.write; });
    EXPECT_EQ(platform.flushes.size(), writes);
    for (const auto& path : platform.flushes) EXPECT_EQ(path, kPath + "\\PIPE0");
}

TEST_F(CommandTest, FailedQueriesReportTheirDocumentedValues) {
    uint8_t current = 77;
    EXPECT_FALSE(commands.GetLedCurrent(current));
    EXPECT_EQ(current, 0);
    EXPECT_EQ(commands.GetBlockSize(), 0u);
    uint8_t id[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(commands.GetProductId(id));
    EXPECT_EQ(id[0], 9);
    EXPECT_FALSE(commands.GetProductId(nullptr));
    EXPECT_FALSE(commands.ReadBlock(0, 4, nullptr));
    uint8_t block[4];
    EXPECT_FALSE(commands.ReadBlock(0, 4, block, [] { ADD_FAILURE() << "no bytes, no work"; }));
    EXPECT_FALSE(commands.Transact(0x01, nullptr, 1, nullptr, 0, 50));
    EXPECT_FALSE(commands.Transact(0x01, Bytes({1}).data(), 1, nullptr, 1, 50));
}

// An answer still waiting from an earlier, timed-out exchange must not be taken for the answer
// to a request that never went out.
TEST_F(CommandTest, QueriesWhoseRequestWasNotSentReadNothing) {
    platform.failWrites = true;
    platform.answers = {Frame({'A', 'P', 'P'}), Frame({0x00, 0x04, 0x00, 0x00}),
                        Frame({0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x0E})};
    uint8_t mode[3] = {};
    EXPECT_FALSE(commands.GetMode(mode));
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    EXPECT_EQ(commands.GetBlockSize(), 0u);
    uint8_t id[8] = {};
    EXPECT_FALSE(commands.GetProductId(id));
    for (const auto& op : platform.ops()) EXPECT_TRUE(op.write) << "nothing was read";
    EXPECT_EQ(platform.answers.size(), 3u);
}

TEST_F(CommandTest, QueryDeviceModeTellsTheModes) {
    link.DevicePresent = 0;
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::None);
    EXPECT_TRUE(platform.ops().empty()) << "no engine, no exchange";
    link.DevicePresent = 1;
    platform.answers = {Frame({'A', 'P', 'P'}), Frame({'A', 'P', 'Q'}), {}};
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Application);
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other);
    EXPECT_EQ(commands.QueryDeviceMode(), DeviceMode::Other) << "an engine that does not answer";

    // The same answers, told apart: a valid answer other than "APP" is the loader.
    platform.answers = {Frame({'A', 'P', 'P'}), Frame({'B', 'L', 'D'}), {}};
    EXPECT_EQ(commands.QueryEngineState(), EngineState::Application);
    EXPECT_EQ(commands.QueryEngineState(), EngineState::Loader);
    EXPECT_EQ(commands.QueryEngineState(), EngineState::Silent);
    link.DevicePresent = 0;
    EXPECT_EQ(commands.QueryEngineState(), EngineState::None);
}

TEST_F(CommandTest, WriteBlockVerifiedReadsBackOnceAndComparesEveryByte) {
    const auto data = Bytes({1, 2, 3, 4});
    platform.answers = {Frame({1, 2, 3, 4}), Frame({1, 2, 3, 5})};
    EXPECT_TRUE(commands.WriteBlockVerified(0x100, 4, data.data()));
    EXPECT_FALSE(commands.WriteBlockVerified(0x100, 4, data.data()));
    const auto written = platform.written();
    ASSERT_EQ(written.size(), 4u) << "a mismatch is not written again";
    EXPECT_EQ(written[0], Frame({0xFB, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(written[1], Frame({0xFC, 0x00, 0x01, 0, 0, 4, 0, 0, 0}));
    EXPECT_EQ(sleeper.total(), std::chrono::milliseconds(120)) << "60 ms before each read-back";
    EXPECT_FALSE(commands.WriteBlockVerified(0, 4, nullptr));
    std::vector<uint8_t> huge(kMaxPayload - 8);
    EXPECT_FALSE(commands.WriteBlockVerified(0, static_cast<uint32_t>(huge.size()), huge.data()));
    EXPECT_EQ(platform.written().size(), 4u);
}

TEST_F(CommandTest, DelaysAreReducedTo16BitsOfMilliseconds) {
    commands.DelayMilliseconds(0);
    EXPECT_EQ(sleeper.total().count(), 0);
    commands.DelayMilliseconds(70000);
    EXPECT_EQ(sleeper.total(), std::chrono::milliseconds(70000 & 0xFFFF));
}

// The processor time this process has used, in milliseconds (Windows' clock() counts wall time).
double ProcessorMs() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 10000.0;
#else
    return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC;
#endif
}

TEST(RealSleeperTest, SleepsAtLeastAsLongAsAskedWithoutSpinning) {
    RealSleeper sleeper;
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ProcessorMs();
    sleeper.SleepFor(std::chrono::milliseconds(60));
    const auto wall = std::chrono::steady_clock::now() - wallStart;
    const double cpuMs = ProcessorMs() - cpuStart;
    EXPECT_GE(wall, std::chrono::milliseconds(60));
    EXPECT_LT(cpuMs, 30.0) << "a wait must sleep, not spin";
}

TEST(RealSleeperTest, InterruptCutsWaitsShort) {
    RealSleeper sleeper;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sleeper.Interrupt();
    });
    const auto start = std::chrono::steady_clock::now();
    sleeper.SleepFor(std::chrono::seconds(30));
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// Two threads exchanging with one engine: each request must be followed by its own answer.
TEST(LinkLockTest, TransactionsOfTwoThreadsNeverInterleave) {
    VirtualBus bus;
    bus.Plug();
    DeviceLink link(bus);
    CommandSet commands(link);
    ASSERT_TRUE(link.FindDevice());
    link.DevicePresent = 1;
    std::atomic<int> failures{0};
    auto worker = [&](bool modes) {
        for (int i = 0; i < 300; ++i) {
            if (modes) {
                if (commands.QueryDeviceMode() != DeviceMode::Application) ++failures;
            } else {
                uint8_t id[8];
                if (!commands.GetProductId(id) || id[0] != 0x0A) ++failures;
            }
        }
    };
    std::thread a(worker, true);
    std::thread b(worker, false);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
}

// A verified block write is one transaction from its write to its read-back: another thread's
// write to the same block must not land in between.
TEST(LinkLockTest, NothingComesBetweenABlockWriteAndItsReadBack) {
    struct ShortSleeper final : Sleeper {  // real but short pauses, so the threads do meet
        void SleepFor(std::chrono::microseconds) override {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    } sleeper;
    VirtualBus bus(&sleeper);
    bus.Plug();
    DeviceLink link(bus, &sleeper);
    CommandSet commands(link);
    ASSERT_TRUE(link.FindDevice());
    std::atomic<int> failures{0};
    auto writer = [&](uint8_t fill) {
        const std::vector<uint8_t> block(64, fill);
        for (int i = 0; i < 200; ++i) {
            if (!commands.WriteBlockVerified(0x100, 64, block.data())) ++failures;
        }
    };
    std::thread a(writer, 0xAA);
    std::thread b(writer, 0x55);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(LinkLockTest, ANewDevicePathTakesEffectWithTheNextTransfer) {
    VirtualBus bus;
    auto first = bus.Plug();
    EngineSettings other;
    other.serial = "other";
    auto second = bus.Plug(other);
    DeviceLink link(bus);
    CommandSet commands(link);
    ASSERT_TRUE(link.FindDevice());
    EXPECT_TRUE(commands.SetLedSwitch(1));
    link.setDevicePath(VirtualBus::EnginePath(*second));
    EXPECT_TRUE(commands.SetLedSwitch(0));
    EXPECT_EQ(first->frames().size(), 1u);
    EXPECT_EQ(second->frames().size(), 1u);
    EXPECT_FALSE(second->ledOn());
}

}  // namespace
}  // namespace kq
