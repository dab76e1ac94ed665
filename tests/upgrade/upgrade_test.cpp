#include <gtest/gtest.h>

#include "tests/upgrade/upgrade_fixture.h"

namespace kq::test {
namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
using std::chrono::milliseconds;

EngineSettings InLoader(uint32_t blockSize = 1024) {
    EngineSettings s;
    s.mode = EngineMode::Loader;
    s.blockSize = blockSize;
    return s;
}

TEST_F(UpgradeFixture, LoaderThenFirmwareFollowsTheWorkedExamples) {
    Attach();
    const auto loader = MakeImage(10240, 1);
    const auto firmware = MakeImage(20480, 2);

    EXPECT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Success);

    const std::vector<int> expected{0,  5,  10, 15, 20, 25, 30, 35, 40, 45, 50, 52, 55, 57, 60, 62,
                                    65, 67, 70, 72, 75, 77, 80, 82, 85, 87, 90, 92, 95, 97, 100};
    EXPECT_EQ(positions, expected);
    EXPECT_EQ(controls, std::vector<UpgradeControls>{kBusyControls});
    EXPECT_EQ(phases,
              (std::vector<UpgradePhase>{UpgradePhase::Loader, UpgradePhase::WaitingForLoader,
                                         UpgradePhase::Firmware, UpgradePhase::Finishing}));
    EXPECT_FALSE(upgrading);

    Writes writes;
    for (uint32_t a = 0; a < 10240; a += 1024) writes.emplace_back(a, 1024);
    for (uint32_t a = 9216; a < 20480; a += 1024) writes.emplace_back(a, 1024);
    EXPECT_EQ(engine->blockWrites(), writes);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(engine->finishUpgradeCount(), 1);
    EXPECT_TRUE(FlashHolds(firmware));
    const auto flash = engine->flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 9216, [](uint8_t b) { return b == 0xFF; }));
    // One loader search (the engine is back at once), the finish, and the link's own pauses:
    // 60 ms per verified write, 20 ms per read-back of a firmware block.
    EXPECT_EQ(sleeper.total(), milliseconds(4000 + 3000 + 21 * 60 + 11 * 20));
}

TEST_F(UpgradeFixture, BlockStraddling9216IsSkippedWholeAndShortLastBlockKeepsItsLength) {
    Attach(InLoader(4096));
    const auto firmware = MakeImage(20480 + 100, 3);

    EXPECT_EQ(Upgrade(firmware, MakeImage(100, 4)), UpgradeOutcome::Success);

    EXPECT_EQ(engine->blockWrites(), (Writes{{12288, 4096}, {16384, 4096}, {20480, 100}}));
    EXPECT_EQ(Requests(CommandCode::BlockRead).front(), std::make_pair(12288u, 4096u));
    const auto flash = engine->flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 9216, flash.begin() + 12288,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(firmware.begin() + 12288, firmware.end(), flash.begin() + 12288));
    EXPECT_EQ(positions, (std::vector<int>{0, 19, 39, 59, 79, 99, 100}));
    EXPECT_EQ(engine->startLoaderCount(), 0);
}

TEST_F(UpgradeFixture, FirmwareWithinTheLoaderAreaSendsNoBlockButFinishes) {
    Attach(InLoader());
    EXPECT_EQ(Upgrade(MakeImage(9216, 5), MakeImage(1024, 6)), UpgradeOutcome::Success);
    EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
    EXPECT_TRUE(Requests(CommandCode::BlockWrite).empty());
    EXPECT_EQ(positions.back(), 100);
    EXPECT_EQ(engine->finishUpgradeCount(), 1);
    EXPECT_EQ(sleeper.total(), milliseconds(3000));
}

TEST_F(UpgradeFixture, IdenticalImageIsReadBackButNotWritten) {
    Attach(InLoader());
    const auto firmware = MakeImage(30000, 7);
    engine->setFlash(firmware);

    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 8)), UpgradeOutcome::Success);

    EXPECT_TRUE(engine->blockWrites().empty());
    EXPECT_EQ(Requests(CommandCode::BlockRead).size(), 21u);  // offsets 9216 .. 29696
    EXPECT_EQ(engine->finishUpgradeCount(), 1);
}

TEST_F(UpgradeFixture, EngineWithoutModeAnswerIsTakenToRunItsLoader) {
    EngineSettings settings = InLoader();
    settings.dropFaults = {1};  // the mode query
    Attach(settings);
    const auto firmware = MakeImage(12288, 9);

    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 10)), UpgradeOutcome::Success);

    EXPECT_EQ(engine->startLoaderCount(), 0);
    EXPECT_EQ(phases.front(), UpgradePhase::Firmware);
    EXPECT_EQ(positions.front(), 0);
    EXPECT_TRUE(FlashHolds(firmware));
}

TEST_F(UpgradeFixture, EngineNotReturningFromStartLoaderFailsAfterFourSearches) {
    EngineSettings settings;
    settings.noReturn = true;
    Attach(settings);

    EXPECT_EQ(Upgrade(MakeImage(20480, 11), MakeImage(1024, 12)), UpgradeOutcome::Failure);

    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
    EXPECT_EQ(sleeper.total(), milliseconds(4 * 4000 + 60));
    EXPECT_EQ(controls, std::vector<UpgradeControls>{kBusyControls});
    EXPECT_EQ(positions.back(), 50);
    EXPECT_FALSE(upgrading);
}

TEST_F(UpgradeFixture, StopInFirmwarePhaseEndsSilentlyAndTheNextRunSkipsTheLoader) {
    Attach();
    const auto loader = MakeImage(2048, 13);
    const auto firmware = MakeImage(20480, 14);
    onProgress = [this](int p) {
        if (p >= 60) stop = true;
    };

    EXPECT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Stopped);
    EXPECT_EQ(UpgradeMessageKey(UpgradeOutcome::Stopped), nullptr);
    EXPECT_EQ(controls, (std::vector<UpgradeControls>{kBusyControls, kIdleControls}));
    EXPECT_EQ(positions.back(), 0);
    EXPECT_GE(*std::max_element(positions.begin(), positions.end()), 60);
    EXPECT_LT(*std::max_element(positions.begin(), positions.end()), 100);
    EXPECT_FALSE(stop);
    EXPECT_FALSE(upgrading);
    EXPECT_EQ(engine->finishUpgradeCount(), 0);

    onProgress = nullptr;
    EXPECT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Success);
    EXPECT_EQ(phases.front(), UpgradePhase::Firmware);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(engine->finishUpgradeCount(), 1);
    EXPECT_TRUE(FlashHolds(firmware));
}

TEST_F(UpgradeFixture, StopInLoaderPhaseSendsNoStartLoader) {
    Attach();
    onProgress = [this](int p) {
        if (p == 25) stop = true;
    };
    EXPECT_EQ(Upgrade(MakeImage(20480, 15), MakeImage(10240, 16)), UpgradeOutcome::Stopped);
    EXPECT_EQ(engine->blockWrites().size(), 5u);
    EXPECT_EQ(engine->startLoaderCount(), 0);
    EXPECT_EQ(positions.back(), 0);
}

// The restart waits run to their end; the stop takes effect before the first firmware block.
TEST_F(UpgradeFixture, StopDuringLoaderRestartTakesEffectAtTheFirstFirmwareBlock) {
    Attach();
    onPhase = [this](UpgradePhase p) {
        if (p == UpgradePhase::WaitingForLoader) stop = true;
    };
    EXPECT_EQ(Upgrade(MakeImage(20480, 17), MakeImage(1024, 18)), UpgradeOutcome::Stopped);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(Requests(CommandCode::BlockSize).size(), 2u);
    EXPECT_EQ(Requests(CommandCode::BlockRead).size(), 1u);  // the loader block's read-back
}

TEST_F(UpgradeFixture, NoBlockSizeAfterStopIsReportedAsFailure) {
    Attach();
    onPhase = [this](UpgradePhase p) {
        if (p != UpgradePhase::WaitingForLoader) return;
        stop = true;
        engine->setBlockSize(0);
    };
    EXPECT_EQ(Upgrade(MakeImage(20480, 19), MakeImage(1024, 20)), UpgradeOutcome::Failure);
    EXPECT_STREQ(UpgradeMessageKey(UpgradeOutcome::Failure), "WarningSystem.FirmWareUpgrateFail");
    EXPECT_FALSE(stop);
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
}

TEST_F(UpgradeFixture, BlockSizeMustFitAFrame) {
    const auto loader = MakeImage(1024, 21);
    const auto firmware = MakeImage(9216 + 65522, 22);
    struct Case {
        uint32_t blockSize;
        UpgradeOutcome outcome;
    };
    for (const Case c : {Case{0, UpgradeOutcome::Failure}, Case{65523, UpgradeOutcome::Failure},
                         Case{65522, UpgradeOutcome::Success}}) {
        SCOPED_TRACE(c.blockSize);
        bus.Unplug(engine);
        Attach(InLoader(c.blockSize));
        stop = true;  // a missing block size drops it; a usable one leaves it to stop the run
        const UpgradeOutcome outcome = Upgrade(firmware, loader);
        if (c.outcome == UpgradeOutcome::Success) {
            EXPECT_EQ(outcome, UpgradeOutcome::Stopped);
            EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
            EXPECT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Success);
            EXPECT_EQ(engine->blockWrites(), (Writes{{65522, 9216}}));
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_FALSE(stop);
            EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
            EXPECT_EQ(engine->finishUpgradeCount(), 0);
        }
    }
}

}  // namespace
}  // namespace kq::test
