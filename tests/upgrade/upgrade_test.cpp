#include <gtest/gtest.h>

#include <fstream>

#include "tests/upgrade/upgrade_fixture.h"
#include "upgrade/backup.h"

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
    EXPECT_TRUE(
        std::all_of(flash.begin(), flash.begin() + 9216, [](uint8_t b) { return b == 0xFF; }));
    // One loader search (the engine is back at once), the finish, and the link's own pauses:
    // 60 ms per verified write, 20 ms per read-back of a firmware block.
    EXPECT_EQ(sleeper.total(), milliseconds(4000 + 3000 + 21 * 60 + 11 * 20));
}

// Whatever the block size, every byte from 9216 up is read back and, where it differs, written;
// nothing below 9216 is touched, and progress still counts whole blocks.
TEST_F(UpgradeFixture, EveryByteFrom9216IsSentWhateverTheBlockSize) {
    const auto firmware = MakeImage(20480 + 100, 3);
    struct Case {
        uint32_t blockSize;
        Writes writes;
        std::vector<int> positions;
    };
    const Case cases[] = {
        {1024, {}, {}},
        {2048,
         {{9216, 1024},
          {10240, 2048},
          {12288, 2048},
          {14336, 2048},
          {16384, 2048},
          {18432, 2048},
          {20480, 100}},
         {}},
        {4096,
         {{9216, 3072}, {12288, 4096}, {16384, 4096}, {20480, 100}},
         {0, 19, 39, 59, 79, 99, 100}},
        {5000, {{9216, 784}, {10000, 5000}, {15000, 5000}, {20000, 580}}, {0, 24, 48, 72, 97, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blockSize);
        if (engine) bus.Unplug(engine);
        Attach(InLoader(c.blockSize));

        EXPECT_EQ(Upgrade(firmware, MakeImage(100, 4)), UpgradeOutcome::Success);

        EXPECT_TRUE(FlashHolds(firmware));
        const auto flash = engine->flash();
        EXPECT_TRUE(
            std::all_of(flash.begin(), flash.begin() + 9216, [](uint8_t b) { return b == 0xFF; }));
        const auto reads = Requests(CommandCode::BlockRead);
        EXPECT_EQ(reads.front().first, 9216u);
        for (const auto& [address, length] : reads) EXPECT_GE(address, 9216u);
        if (!c.writes.empty()) {
            EXPECT_EQ(engine->blockWrites(), c.writes);
        }
        if (!c.positions.empty()) {
            EXPECT_EQ(positions, c.positions);
        }
    }
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

// Only a valid answer decides between loader and application: a lost or damaged one is asked
// again, and an engine that never answers gets nothing written.
TEST_F(UpgradeFixture, ModeQueryWithoutValidAnswerIsAskedAgainAndNeverTakenForTheLoader) {
    const auto firmware = MakeImage(12288, 9);
    for (const char* lost : {"crc", "drop"}) {
        SCOPED_TRACE(lost);
        if (engine) bus.Unplug(engine);
        EngineSettings settings;
        (std::string(lost) == "crc" ? settings.crcFaults : settings.dropFaults) = {1, 2};
        Attach(settings);
        EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 10)), UpgradeOutcome::Success);
        EXPECT_EQ(engine->startLoaderCount(), 1);
        EXPECT_TRUE(FlashHolds(firmware));
    }

    bus.Unplug(engine);
    EngineSettings silent;
    silent.dropFaults = {1, 2, 3};
    Attach(silent);
    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 10)), UpgradeOutcome::Failure);
    EXPECT_EQ(result.failure, UpgradeFailure::NoModeAnswer);
    EXPECT_EQ(Requests(CommandCode::Mode).size(), 3u);
    EXPECT_EQ(engine->frames().size(), 3u) << "nothing but the mode queries";
}

TEST_F(UpgradeFixture, SilentModeQueryAfterTheLoaderSearchEndsTheUpgrade) {
    // Requests: mode, block size, one loader block (write, read-back), StartLoader, then the
    // mode queries of the engine found again.
    EngineSettings settings;
    settings.dropFaults = {6, 7, 8};
    Attach(settings);

    EXPECT_EQ(Upgrade(MakeImage(12288, 9), MakeImage(1024, 10)), UpgradeOutcome::Failure);

    EXPECT_EQ(result.failure, UpgradeFailure::NoModeAnswer);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(Requests(CommandCode::BlockSize).size(), 1u) << "no firmware phase";
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
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
            EXPECT_EQ(engine->blockWrites(), (Writes{{9216, 65522 - 9216}, {65522, 9216}}));
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_FALSE(stop);
            EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
            EXPECT_EQ(engine->finishUpgradeCount(), 0);
        }
    }
}

// Once the engine has been told to finish, the outcome is the upgrade's own: a stop pressed
// during the last block or the finish wait does not hide a finished upgrade.
TEST_F(UpgradeFixture, StopThatComesTooLateDoesNotHideAFinishedUpgrade) {
    const auto firmware = MakeImage(12288, 23);
    for (const bool inFinishWait : {false, true}) {
        SCOPED_TRACE(inFinishWait ? "finish wait" : "last block");
        if (engine) bus.Unplug(engine);
        Attach(InLoader());
        onPhase = [this, inFinishWait](UpgradePhase p) {
            if (p == UpgradePhase::Firmware && !inFinishWait) {
                // The last block's read-back pause: 3 blocks from 9216, each read (20 ms) and
                // written (60 ms); the fifth wait is the last block's read.
                sleeper.onSleep = [this](int n) {
                    if (n == 5) stop = true;
                };
            }
            if (p == UpgradePhase::Finishing && inFinishWait) stop = true;
        };
        EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 24)), UpgradeOutcome::Success);
        EXPECT_FALSE(stop) << "the request is used up";
        EXPECT_EQ(engine->finishUpgradeCount(), 1);
        EXPECT_TRUE(FlashHolds(firmware));
        sleeper.onSleep = nullptr;
    }
}

TEST_F(UpgradeFixture, FinishThatCannotBeSentIsAFailure) {
    EngineSettings settings = InLoader();
    settings.unplugFaults = {3};  // mode, block size, then FinishUpgrade: no block past 9216
    Attach(settings);
    EXPECT_EQ(Upgrade(MakeImage(9216, 25), MakeImage(1024, 26)), UpgradeOutcome::Failure);
    EXPECT_EQ(result.failure, UpgradeFailure::FinishNotSent);
}

// The bytes read back before writing are kept: the same upgrade can put them back.
TEST_F(UpgradeFixture, WrittenUpgradeLeavesABackupThatRestoresTheOldFirmware) {
    TempDir dir;
    backupDir = dir.path / "data" / "kq7300";
    Attach(InLoader(4096));
    const auto old = MakeImage(20000, 27);
    engine->setFlash(old);
    auto firmware = old;
    for (size_t i = 15000; i < 15100; ++i) firmware[i] ^= 0x5A;
    firmware.resize(16000);

    ASSERT_EQ(Upgrade(firmware, MakeImage(1024, 28)), UpgradeOutcome::Success);

    ASSERT_FALSE(result.backupPath.empty()) << result.backupError;
    EXPECT_EQ(result.backupPath.parent_path(), *backupDir);
    EXPECT_EQ(result.backupPath.filename().string().rfind("kq7300-backup-0A1B2C3D4E5F-", 0), 0u);
    std::ifstream in(result.backupPath, std::ios::binary);
    const std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(saved.size(), firmware.size());
    EXPECT_TRUE(std::all_of(saved.begin(), saved.begin() + 9216, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(saved.begin() + 9216, saved.end(), old.begin() + 9216));

    ASSERT_EQ(Upgrade(saved, MakeImage(1024, 28)), UpgradeOutcome::Success);
    const auto flash = engine->flash();
    EXPECT_TRUE(std::equal(old.begin(), old.end(), flash.begin()));

    // Nothing written, no backup; a backup that cannot be written is reported, not fatal.
    const auto count = std::distance(std::filesystem::directory_iterator(*backupDir), {});
    EXPECT_EQ(Upgrade(old, MakeImage(1024, 28)), UpgradeOutcome::Success);
    EXPECT_TRUE(result.backupPath.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(*backupDir), {}), count);
    std::ofstream(dir.path / "file") << "x";
    backupDir = dir.path / "file" / "below";
    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 28)), UpgradeOutcome::Success);
    EXPECT_TRUE(result.backupPath.empty());
    EXPECT_FALSE(result.backupError.empty());
    backupDir = std::filesystem::path();  // no folder could be told
    EXPECT_EQ(Upgrade(old, MakeImage(1024, 28)), UpgradeOutcome::Success);
    EXPECT_NE(result.backupError.find("no folder"), std::string::npos) << result.backupError;
}

#ifdef _WIN32
TEST(UpgradeBackupDirectoryTest, IsTheUsersLocalApplicationData) {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(UpgradeBackupDirectory(), std::filesystem::path(local) / "kq7300");
}
#endif

}  // namespace
}  // namespace kq::test
