#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <fstream>
#include <set>

#include "tests/support/upgrade_fixture.h"
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
                                         UpgradePhase::Firmware, UpgradePhase::Finishing,
                                         UpgradePhase::Checking}));
    EXPECT_EQ(attempts, (std::vector<Attempt>{{UpgradePhase::WaitingForLoader, 1, 4},
                                              {UpgradePhase::Checking, 1, 5}}));
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
    // One loader search (the engine is back at once), the finish, the check's first look, and
    // the link's own pauses: 60 ms per verified write, 20 ms per read-back of a firmware block.
    EXPECT_EQ(sleeper.total(), milliseconds(4000 + 3000 + 21 * 60 + 11 * 20));
    EXPECT_EQ(Requests(CommandCode::Mode).size(), 4u)
        << "at the start, twice in the loader, at the end";
    EXPECT_EQ(engine->mode(), EngineMode::App);
}

// Every block of both images is told as it is done, and the backup as soon as it exists: before
// the first flash block it guards is written, in a fresh series and in a resumed one.
TEST_F(UpgradeFixture, BlocksAndTheBackupAreToldBeforeTheyMatter) {
    Attach();
    TempFolder dir;
    backupDir = dir.path;
    std::vector<std::pair<UpgradePhase, uint32_t>> blocks;
    // The first run stops after the first firmware block it writes: the next run resumes.
    onBlock = [&](UpgradePhase p, uint32_t offset, uint32_t) {
        blocks.emplace_back(p, offset);
        if (p == UpgradePhase::Firmware && offset == 9216 && blocks.size() < 20) stop = true;
    };
    std::vector<size_t> writesWhenTold;
    std::vector<bool> resumedWhenTold;
    onBackup = [&](const std::filesystem::path& file, bool resumed) {
        EXPECT_TRUE(std::filesystem::exists(file));
        EXPECT_EQ(file, result.backupPath.empty() ? file : result.backupPath);
        size_t flashWrites = 0;
        for (const auto& [address, length] : engine->blockWrites()) {
            flashWrites += engine->mode() == EngineMode::Loader && address >= 9216;
        }
        writesWhenTold.push_back(flashWrites);
        resumedWhenTold.push_back(resumed);
    };
    const auto firmware = MakeImage(12288, 90);
    EXPECT_EQ(Upgrade(firmware, MakeImage(2048, 91)), UpgradeOutcome::Stopped);
    std::vector<std::pair<UpgradePhase, uint32_t>> expected{{UpgradePhase::Loader, 0},
                                                            {UpgradePhase::Loader, 1024}};
    for (uint32_t offset = 0; offset <= 9216; offset += 1024) {
        expected.emplace_back(UpgradePhase::Firmware, offset);
    }
    EXPECT_EQ(blocks, expected);
    EXPECT_EQ(Upgrade(firmware, MakeImage(2048, 91)), UpgradeOutcome::Success);
    EXPECT_EQ(writesWhenTold, (std::vector<size_t>{0, 1})) << "the second run's first write was "
                                                              "the first run's";
    EXPECT_EQ(resumedWhenTold, (std::vector<bool>{false, true}));
}

TEST(ForEachBlockTest, CutsTheImageIntoBlocksOfTheSizeAndARemainder) {
    using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
    struct Case {
        uint32_t length;
        uint32_t blockSize;
        Blocks blocks;
    };
    const Case cases[] = {
        {10, 4, {{0, 4}, {4, 4}, {8, 2}}},
        {8, 4, {{0, 4}, {4, 4}}},
        {3, 100, {{0, 3}}},
        {129024, 0xFFFFFFFF, {{0, 129024}}},
        {0xFFFFFFFF, 0x80000000, {{0, 0x80000000}, {0x80000000, 0x7FFFFFFF}}},
        {0, 4, {}},
    };
    for (const Case& c : cases) {
        Blocks blocks;
        EXPECT_TRUE(ForEachBlock(c.length, c.blockSize, [&](uint32_t offset, uint32_t length) {
            blocks.emplace_back(offset, length);
            return true;
        }));
        EXPECT_EQ(blocks, c.blocks) << c.length << " / " << c.blockSize;
    }
    int calls = 0;
    EXPECT_FALSE(ForEachBlock(10, 4, [&](uint32_t, uint32_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2) << "the first false ends it";
    EXPECT_FALSE(ForEachBlock(10, 0, [&](uint32_t, uint32_t) { return ++calls > 0; }));
    EXPECT_EQ(calls, 2);
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

// An engine found right after its restart may not answer yet: the remaining tries ask again.
TEST_F(UpgradeFixture, SilentEngineAfterItsRestartGetsTheRemainingTries) {
    // Requests: mode, block size, one loader block (write, read-back), StartLoader, then three
    // mode queries in each try of the search.
    EngineSettings settings;
    settings.dropFaults = {6, 7, 8};
    Attach(settings);
    const auto firmware = MakeImage(12288, 9);
    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 10)), UpgradeOutcome::Success);
    EXPECT_TRUE(FlashHolds(firmware));
    EXPECT_EQ(
        std::count_if(attempts.begin(), attempts.end(),
                      [](const Attempt& a) { return a.phase == UpgradePhase::WaitingForLoader; }),
        2);

    bus.Unplug(engine);
    settings.dropFaults.clear();
    for (uint64_t n = 6; n < 6 + 3 * 4; ++n) settings.dropFaults.insert(n);
    Attach(settings);
    EXPECT_EQ(Upgrade(firmware, MakeImage(1024, 10)), UpgradeOutcome::Failure);
    EXPECT_EQ(result.failure, UpgradeFailure::NoModeAnswer);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(Requests(CommandCode::Mode).size(), 1u + 3 * 4);
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
    TempFolder dir;
    backupDir = dir.path;
    Attach();
    const auto loader = MakeImage(2048, 13);
    const auto firmware = MakeImage(20480, 14);
    // Past 9216, so that blocks have been replaced.
    onProgress = [this](int p) {
        if (p >= 80) stop = true;
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
    ASSERT_FALSE(result.backupPath.empty()) << "a stopped run names its backup too";
    const auto [address, length] = engine->blockWrites().back();
    EXPECT_EQ(ReadFile(result.backupPath).size(), address + length) << "up to the last block";

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
    onAttempt = [this](UpgradePhase p, int) {
        if (p == UpgradePhase::WaitingForLoader) stop = true;
    };
    EXPECT_EQ(Upgrade(MakeImage(20480, 17), MakeImage(1024, 18)), UpgradeOutcome::Stopped);
    EXPECT_EQ(engine->startLoaderCount(), 1);
    EXPECT_EQ(Requests(CommandCode::BlockSize).size(), 2u);
    EXPECT_EQ(Requests(CommandCode::BlockRead).size(), 1u);  // the loader block's read-back
}

// A stop that comes with the last loader block, even once the phase has moved on, keeps the
// engine in its application: StartLoader is not sent.
TEST_F(UpgradeFixture, StopWithTheLastLoaderBlockSendsNoStartLoader) {
    for (const bool atThePhase : {false, true}) {
        SCOPED_TRACE(atThePhase);
        if (engine) bus.Unplug(engine);
        Attach();
        onProgress = [this, atThePhase](int p) {
            if (p == 50 && !atThePhase) stop = true;
        };
        onPhase = [this, atThePhase](UpgradePhase p) {
            if (p == UpgradePhase::WaitingForLoader && atThePhase) stop = true;
        };
        EXPECT_EQ(Upgrade(MakeImage(20480, 21), MakeImage(2048, 22)), UpgradeOutcome::Stopped);
        EXPECT_EQ(engine->startLoaderCount(), 0);
        EXPECT_FALSE(stop);
    }
}

TEST_F(UpgradeFixture, NoBlockSizeAfterStopIsReportedAsFailure) {
    Attach();
    onAttempt = [this](UpgradePhase p, int) {
        if (p != UpgradePhase::WaitingForLoader) return;
        stop = true;
        engine->setBlockSize(0);
    };
    EXPECT_EQ(Upgrade(MakeImage(20480, 19), MakeImage(1024, 20)), UpgradeOutcome::Failure);
    EXPECT_STREQ(UpgradeMessageKey(UpgradeOutcome::Failure), "WarningSystem.FirmWareUpgrateFail");
    EXPECT_FALSE(stop);
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
}

// A block size is taken when every block this image sends fits a frame (65522 data bytes after
// the request's header), however large the size itself; the loader phase sends blocks of at
// most its image's length.
TEST_F(UpgradeFixture, BlockSizeIsTakenWhenTheImagesBlocksFitAFrame) {
    const auto loader = MakeImage(1024, 21);
    const auto firmware = MakeImage(9216 + 65522, 22);
    struct Case {
        uint32_t blockSize;
        EngineMode mode;
        bool fits;
        Writes firmwareWrites;
    };
    const Case cases[] = {
        {0, EngineMode::Loader, false, {}},
        {65523, EngineMode::Loader, true, {{9216, 65523 - 9216}, {65523, 9215}}},
        {9216 + 65522, EngineMode::Loader, true, {{9216, 65522}}},
        {9216 + 65523, EngineMode::Loader, true, {{9216, 65522}}},
        {0xFFFFFFFF, EngineMode::App, true, {{9216, 65522}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blockSize);
        if (engine) bus.Unplug(engine);
        EngineSettings settings;
        settings.mode = c.mode;
        settings.blockSize = c.blockSize;
        Attach(settings);
        const UpgradeOutcome outcome = Upgrade(firmware, loader);
        EXPECT_EQ(outcome, c.fits ? UpgradeOutcome::Success : UpgradeOutcome::Failure);
        if (c.fits) {
            Writes writes = engine->blockWrites();
            if (c.mode == EngineMode::App) writes.erase(writes.begin());  // the loader's block
            EXPECT_EQ(writes, c.firmwareWrites);
            EXPECT_TRUE(FlashHolds(firmware));
        } else {
            EXPECT_EQ(result.failure, UpgradeFailure::NoBlockSize);
            EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
        }
    }
    // One byte more, and the first block sent no longer fits.
    const auto longer = MakeImage(9216 + 65523, 22);
    bus.Unplug(engine);
    Attach(InLoader(9216 + 65523));
    stop = true;  // a block size refused drops a pending stop, so the failure is told
    EXPECT_EQ(Upgrade(longer, loader), UpgradeOutcome::Failure);
    EXPECT_EQ(result.failure, UpgradeFailure::NoBlockSize);
    EXPECT_FALSE(stop);
    EXPECT_TRUE(Requests(CommandCode::BlockRead).empty());
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
}

// Once the engine has been told to finish, the outcome is the upgrade's own: a stop pressed
// during the last block, the finish wait or the check does not hide a finished upgrade, nor
// one whose check failed.
TEST_F(UpgradeFixture, StopThatComesTooLateDoesNotHideAFinishedUpgrade) {
    const auto firmware = MakeImage(12288, 23);
    enum When { LastBlock, FinishWait, Check, FailingCheck };
    for (const When when : {LastBlock, FinishWait, Check, FailingCheck}) {
        SCOPED_TRACE(when);
        if (engine) bus.Unplug(engine);
        EngineSettings settings = InLoader();
        settings.noReturnAfterFinish = when == FailingCheck;
        Attach(settings);
        onPhase = [this, when](UpgradePhase p) {
            if (p == UpgradePhase::Firmware && when == LastBlock) {
                // The last block's read-back pause: 3 blocks from 9216, each read (20 ms) and
                // written (60 ms); the fifth wait is the last block's read.
                sleeper.onSleep = [this](int n) {
                    if (n == 5) stop = true;
                };
            }
            if (p == UpgradePhase::Finishing && when == FinishWait) stop = true;
            if (p == UpgradePhase::Checking && when >= Check) stop = true;
        };
        const UpgradeOutcome outcome = Upgrade(firmware, MakeImage(1024, 24));
        if (when == FailingCheck) {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_EQ(result.failure, UpgradeFailure::NotBack);
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Success);
        }
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
    TempFolder dir;
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
    EXPECT_EQ(
        result.backupPath.filename().string().rfind("kq7300-backup-0002a0000000-0A1B2C3D4E5F-", 0),
        0u);
    std::ifstream in(result.backupPath, std::ios::binary);
    const std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(saved.size(), firmware.size());
    EXPECT_TRUE(std::all_of(saved.begin(), saved.begin() + 9216, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(saved.begin() + 9216, saved.end(), old.begin() + 9216));

    ASSERT_EQ(Upgrade(saved, MakeImage(1024, 28)), UpgradeOutcome::Success);
    const auto flash = engine->flash();
    EXPECT_TRUE(std::equal(old.begin(), old.end(), flash.begin()));

    // Nothing written, no backup.
    const auto count = std::distance(std::filesystem::directory_iterator(*backupDir), {});
    EXPECT_EQ(Upgrade(old, MakeImage(1024, 28)), UpgradeOutcome::Success);
    EXPECT_TRUE(result.backupPath.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(*backupDir), {}), count);
}

// A place that cannot take the backup is found out before anything is written, in either phase.
TEST_F(UpgradeFixture, ABackupThatCannotBeMadeStopsTheRunBeforeItsFirstWrite) {
    TempFolder dir;
    std::ofstream(dir.path / "file") << "x";
    for (const EngineMode mode : {EngineMode::App, EngineMode::Loader}) {
        for (const auto& folder : {dir.path / "file" / "below", std::filesystem::path()}) {
            SCOPED_TRACE(folder.string());
            if (engine) bus.Unplug(engine);
            EngineSettings settings;
            settings.mode = mode;
            Attach(settings);
            backupDir = folder;
            EXPECT_EQ(Upgrade(MakeImage(12288, 29), MakeImage(1024, 30)), UpgradeOutcome::Failure);
            EXPECT_EQ(result.failure, UpgradeFailure::BackupUnavailable);
            EXPECT_FALSE(result.backupError.empty());
            EXPECT_TRUE(result.backupPath.empty());
            EXPECT_EQ(engine->frames().size(), 2u) << "the mode query and the block size only";
        }
    }
    EXPECT_NE(result.backupError.find("no folder"), std::string::npos) << result.backupError;
}

// The bytes a block replaces are in the backup before the block goes out, and a backup that
// cannot take them stops the run before that block.
TEST_F(UpgradeFixture, EveryReplacedByteIsInTheBackupBeforeItsBlockIsWritten) {
    TempFolder dir;
    backupDir = dir.path;
    Attach(InLoader(2048));
    const auto old = MakeImage(VirtualEngine::kFlashSize, 31);
    engine->setFlash(old);
    auto firmware = MakeImage(30000, 32);
    std::copy(old.begin() + 14336, old.begin() + 20480, firmware.begin() + 14336);  // unchanged
    int checked = 0;
    sleeper.onSleep = [&](int) {
        // The 60 ms pause after each block write, before its read-back.
        const auto writes = Requests(CommandCode::BlockWrite);
        if (writes.size() <= static_cast<size_t>(checked)) return;
        const auto [address, length] = writes.back();
        checked = static_cast<int>(writes.size());
        std::vector<uint8_t> saved;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            // Not a temporary file of the backup's own.
            if (entry.path().filename().string()[0] != '.') saved = ReadFile(entry.path());
        }
        ASSERT_GE(saved.size(), address + length) << address;
        EXPECT_TRUE(std::equal(old.begin() + address, old.begin() + address + length,
                               saved.begin() + address))
            << address;
    };
    ASSERT_EQ(Upgrade(firmware, MakeImage(1024, 33)), UpgradeOutcome::Success);
    EXPECT_EQ(checked, 8) << "blocks from 9216 on, but the three unchanged ones";
    const auto saved = ReadFile(result.backupPath);
    ASSERT_EQ(saved.size(), firmware.size()) << "the unchanged blocks complete the image";
    EXPECT_TRUE(std::equal(saved.begin() + 9216, saved.end(), old.begin() + 9216));
    EXPECT_FALSE(result.backupResumed);
    sleeper.onSleep = nullptr;

#ifndef _WIN32
    // A backup file that may not grow past 20000 bytes: the save for the block at 20480 fails.
    bus.Unplug(engine);
    Attach(InLoader(2048));
    engine->setFlash(old);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{20000, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const UpgradeOutcome outcome = Upgrade(firmware, MakeImage(1024, 33));
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(outcome, UpgradeOutcome::Failure);
    EXPECT_EQ(result.failure, UpgradeFailure::BackupNotSaved);
    EXPECT_FALSE(result.backupError.empty());
    const auto flash = engine->flash();
    EXPECT_TRUE(std::equal(flash.begin() + 20480, flash.end(), old.begin() + 20480))
        << "nothing written past what the backup holds";
    EXPECT_EQ(engine->finishUpgradeCount(), 0);
#endif
}

// Two engines of one serial: the one upgraded takes its time to come back in its loader while
// the other waits in its loader. Nothing may go to the other one, whichever of them goes by the
// serial, with or without a path to narrow the link to the first. An engine plugged in while
// the first is away takes the serial, and the first comes back under another path: its place
// tells it.
TEST(UpgradeTwoEnginesTest, OnlyTheEngineThatLeftIsTakenWhenItComesBack) {
    const auto firmware = MakeImage(12288, 40);
    enum Plugged { Before, After, DuringTheRestart };
    struct Case {
        Plugged other;
        bool byPath;
        int back;  // the try at which it is back; 0: it stays away
        UpgradeFailure failure;
    };
    const Case cases[] = {
        {After, false, 3, UpgradeFailure::None},
        {After, true, 3, UpgradeFailure::None},
        {Before, true, 3, UpgradeFailure::None},
        {DuringTheRestart, false, 3, UpgradeFailure::None},
        {DuringTheRestart, true, 3, UpgradeFailure::None},
        {DuringTheRestart, false, 0, UpgradeFailure::OtherEngine},
        {DuringTheRestart, true, 0, UpgradeFailure::OtherEngine},
        // The other goes by a name no device node vouches for: not even a candidate.
        {After, false, 0, UpgradeFailure::LoaderNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("other plugged " + std::to_string(c.other) + (c.byPath ? ", by path" : "") +
                     ", back at " + std::to_string(c.back));
        UpgradeRig rig;
        if (c.other == Before) rig.PlugOther(InLoader());
        EngineSettings settings;
        settings.noReturn = true;
        rig.Attach(settings, c.byPath);
        if (c.other == After) rig.PlugOther(InLoader());
        const std::string place = rig.link->devicePlace();
        rig.onAttempt = [&](UpgradePhase phase, int n) {
            if (phase != UpgradePhase::WaitingForLoader) return;
            if (n == 1 && c.other == DuringTheRestart) rig.PlugOther(InLoader());
            if (n == c.back) rig.bus.ReturnNow(rig.engine);
        };
        const UpgradeOutcome outcome = rig.Upgrade(firmware, MakeImage(1024, 41));
        EXPECT_TRUE(rig.other->frames().empty()) << "nothing reaches the other engine";
        EXPECT_EQ(rig.result.failure, c.failure);
        if (c.back) {
            EXPECT_EQ(outcome, UpgradeOutcome::Success);
            EXPECT_TRUE(rig.FlashHolds(firmware));
            EXPECT_EQ(rig.link->devicePlace(), place);
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_EQ(rig.attempts.size(), 4u);
        }
    }
    EXPECT_STREQ(UpgradeFailureText(UpgradeFailure::OtherEngine),
                 "the engine did not come back; another engine was found");
}

// Without a place to tell engines apart, only a sole engine is taken after the restart.
TEST(UpgradeTwoEnginesTest, WithoutAPlaceOnlyASoleEngineIsTaken) {
    const auto firmware = MakeImage(12288, 42);
    for (const bool another : {false, true}) {
        SCOPED_TRACE(another ? "another engine" : "alone");
        UpgradeRig rig;
        rig.Attach();
        if (another) rig.PlugOther(InLoader());
        // A link given its engine's path, with no search, knows no place.
        rig.link = std::make_unique<DeviceLink>(rig.bus, &rig.sleeper);
        rig.link->setDevicePath(rig.PathOf(rig.engine));
        rig.link->DevicePresent = 1;
        const UpgradeOutcome outcome = rig.Upgrade(firmware, MakeImage(1024, 43));
        if (another) {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_EQ(rig.result.failure, UpgradeFailure::OtherEngine);
            EXPECT_TRUE(rig.other->frames().empty());
            EXPECT_EQ(rig.Requests(CommandCode::BlockRead).size(), 1u) << "the loader's only";
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Success);
            EXPECT_TRUE(rig.FlashHolds(firmware));
        }
    }
}

// After the finish the engine is looked at: success only when it is back at its place in its
// application. Each other end is told apart.
TEST(UpgradeFinalCheckTest, SuccessOnlyWhenTheEngineIsSeenBackInItsApplication) {
    const auto firmware = MakeImage(12288, 44);
    // Requests from the loader: mode, block size, the one block past 9216 (read, write,
    // read-back), finish.
    constexpr uint64_t kFinish = 2 + 3 + 1;
    struct Case {
        const char* name;
        std::function<void(EngineSettings&)> fault;
        int backAt;  // the check's try at which the engine is back; 0: by itself at once
        bool otherInApplication = false;
        UpgradeOutcome outcome = UpgradeOutcome::Failure;
        UpgradeFailure failure = UpgradeFailure::None;
        int tries = kFinishCheckTries;
        int lostAnswers = 0;  // each waits out its 1000 ms deadline
    };
    const Case cases[] = {
        {"back at once", [](EngineSettings&) {}, 0, false, UpgradeOutcome::Success,
         UpgradeFailure::None, 1},
        {"back at the third try", [](EngineSettings& s) { s.noReturnAfterFinish = true; }, 3, false,
         UpgradeOutcome::Success, UpgradeFailure::None, 3},
        {"finish lost", [](EngineSettings& s) { s.dropFaults = {kFinish}; }, 0, false,
         UpgradeOutcome::Failure, UpgradeFailure::StayedInLoader},
        {"never back", [](EngineSettings& s) { s.noReturnAfterFinish = true; }, 0, false,
         UpgradeOutcome::Failure, UpgradeFailure::NotBack},
        {"never back, another engine in its application",
         [](EngineSettings& s) { s.noReturnAfterFinish = true; }, 0, true, UpgradeOutcome::Failure,
         UpgradeFailure::OtherEngine},
        {"answers close to APP",
         [](EngineSettings& s) {
             for (uint64_t n = kFinish + 1; n < kFinish + 40; ++n) s.oddModeFaults.insert(n);
         },
         0, false, UpgradeOutcome::Failure, UpgradeFailure::UnexpectedMode},
        {"silent after the restart",
         [](EngineSettings& s) {
             for (uint64_t n = kFinish + 1; n < kFinish + 40; ++n) s.dropFaults.insert(n);
         },
         0, false, UpgradeOutcome::Failure, UpgradeFailure::NotBack, kFinishCheckTries,
         kFinishCheckTries * kModeQueryTries},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRig rig;
        EngineSettings settings = InLoader(4096);
        c.fault(settings);
        rig.Attach(settings);
        rig.onAttempt = [&](UpgradePhase phase, int n) {
            if (phase != UpgradePhase::Checking) return;
            // Plugged in while the engine is away, it goes by the serial.
            if (n == 1 && c.otherInApplication) rig.PlugOther({});
            if (n == c.backAt) rig.bus.ReturnNow(rig.engine);
        };
        EXPECT_EQ(rig.Upgrade(firmware, MakeImage(1024, 45)), c.outcome);
        EXPECT_EQ(rig.result.failure, c.failure);
        EXPECT_EQ(rig.phases.back(), UpgradePhase::Checking);
        EXPECT_EQ(rig.attempts.size(), static_cast<size_t>(c.tries));
        EXPECT_EQ(rig.attempts.back().attempts, kFinishCheckTries);
        EXPECT_TRUE(rig.FlashHolds(firmware));
        if (rig.other) {
            EXPECT_TRUE(rig.other->frames().empty());
        }
        // The finish wait, then 4 s before each try after the first.
        const auto waits = rig.sleeper.total() - milliseconds(20 + 60 + 1000 * c.lostAnswers);
        EXPECT_EQ(waits, milliseconds(3000 + 4000 * (c.tries - 1)));
    }
}

// From the first block to the final check the engine is held: every block's pauses fall in a
// hold, no restart's wait does; another program's moment of use at the start is waited out.
TEST_F(UpgradeFixture, TheEngineIsHeldFromTheFirstBlockToTheFinalCheck) {
    // The check's first mode answer is lost: its wait for the answer shows the check's hold.
    // Requests: mode, block size, 2 loader blocks, StartLoader, mode twice, block size, 3
    // firmware blocks read and rewritten, finish, mode.
    EngineSettings settings;
    settings.dropFaults = {21};
    Attach(settings);
    // Each wait as it begins: the time waited before it, and the holds then.
    std::vector<std::pair<long long, int>> waits;
    sleeper.onSleep = [&](int) {
        waits.emplace_back(sleeper.total().count() / 1000, bus.Holders(engine));
    };
    int checkHolders = -1;
    onPhase = [&](UpgradePhase p) {
        if (p == UpgradePhase::Checking) checkHolders = bus.Holders(engine);
    };
    const auto firmware = MakeImage(12288, 46);
    ASSERT_EQ(Upgrade(firmware, MakeImage(2048, 47)), UpgradeOutcome::Success);
    long long before = 0;
    int held = 0;
    for (const auto& [total, holders] : waits) {
        const long long ms = total - before;
        before = total;
        if (ms == kLoaderSearchWaitMs || ms == kFinishWaitMs) {
            EXPECT_EQ(holders, 0) << "a " << ms << " ms wait for the engine's restart";
        } else {
            EXPECT_EQ(holders, 1) << "a " << ms << " ms wait at " << total << " ms";
            ++held;
        }
    }
    EXPECT_EQ(held, 2 + 2 * 3 + 1);
    EXPECT_EQ(checkHolders, 0) << "the finish ended the hold";
    EXPECT_EQ(bus.Holders(engine), 0) << "given back at the end";

    // Busy for a moment: waited out. Busy for good: nothing is sent at all.
    for (const int busy : {5, 1000}) {
        SCOPED_TRACE(busy);
        bus.Unplug(engine);
        Attach();
        sleeper.onSleep = nullptr;
        bus.Configure(engine, [&](VirtualBus::Slot& s) { s.busyHolds = busy; });
        const auto start = sleeper.total();
        const UpgradeOutcome outcome = Upgrade(firmware, MakeImage(2048, 47));
        if (busy == 5) {
            EXPECT_EQ(outcome, UpgradeOutcome::Success);
        } else {
            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            EXPECT_EQ(result.failure, UpgradeFailure::EngineBusy);
            EXPECT_STREQ(UpgradeFailureText(result.failure), "another program is using the engine");
            EXPECT_TRUE(engine->frames().empty());
            EXPECT_EQ(sleeper.total() - start, milliseconds(kBusyWaitMs));
        }
    }
}

// The question comes when the mode and the block size are known, names what will happen, and
// a no writes nothing; the frames on the wire are the same with and without it.
TEST_F(UpgradeFixture, TheConfirmationComesBeforeAnythingIsWrittenAndCanSayNo) {
    const auto firmware = MakeImage(20480, 48);
    const auto loader = MakeImage(10240, 49);
    std::vector<std::vector<uint8_t>> unasked;
    for (const bool ask : {false, true}) {
        if (engine) bus.Unplug(engine);
        Attach();
        std::optional<UpgradePlan> plan;
        size_t framesWhenAsked = 0;
        confirm = ask ? std::function<bool(const UpgradePlan&)>([&](const UpgradePlan& p) {
            plan = p;
            framesWhenAsked = engine->frames().size();
            return true;
        })
                      : nullptr;
        ASSERT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Success);
        if (!ask) {
            unasked = engine->frames();
            continue;
        }
        EXPECT_EQ(engine->frames(), unasked);
        EXPECT_EQ(framesWhenAsked, 2u) << "mode and block size";
        ASSERT_TRUE(plan);
        EXPECT_EQ(plan->state, EngineState::Application);
        EXPECT_EQ(plan->serial, "0002a0000000");
        EXPECT_EQ(plan->productId, "0A-1B-2C-3D-4E-5F");
        EXPECT_EQ(plan->place, "virtual-2");
        EXPECT_EQ(plan->blockSize, 1024u);
        EXPECT_EQ(plan->firmwareLength, 20480u);
        EXPECT_EQ(plan->loaderLength, 10240u);
        EXPECT_TRUE(plan->loaderPhase);
        EXPECT_EQ(plan->estimateMs, EstimateUpgradeMs(20480, 10240, 1024, true));
    }

    confirm = [](const UpgradePlan&) { return false; };
    EXPECT_EQ(Upgrade(firmware, loader), UpgradeOutcome::Cancelled);
    EXPECT_EQ(result.failure, UpgradeFailure::None);
    EXPECT_EQ(UpgradeMessageKey(UpgradeOutcome::Cancelled), nullptr);
    EXPECT_EQ(Requests(CommandCode::BlockWrite).size(), 21u) << "no new block";
    EXPECT_EQ(controls.back(), kIdleControls);
    EXPECT_EQ(positions.back(), 0);
    EXPECT_FALSE(upgrading);
}

// The estimate covers what a run really waits, with a small allowance; block size 1 is said
// to be long.
TEST(UpgradeEstimateTest, CoversTheRunsWaits) {
    struct Case {
        uint32_t blockSize;
        uint32_t firmware;
        uint32_t loader;
        EngineMode mode;
    };
    for (const Case c :
         {Case{1024, 20480, 10240, EngineMode::App}, Case{5000, 30000, 2048, EngineMode::App},
          Case{4096, 129024, 10240, EngineMode::Loader}}) {
        SCOPED_TRACE(c.blockSize);
        UpgradeRig rig;
        EngineSettings settings;
        settings.mode = c.mode;
        settings.blockSize = c.blockSize;
        rig.Attach(settings);
        ASSERT_EQ(rig.Upgrade(MakeImage(c.firmware, 50), MakeImage(c.loader, 51)),
                  UpgradeOutcome::Success);
        const auto waited = static_cast<uint64_t>(rig.sleeper.total().count() / 1000);
        const uint64_t estimate =
            EstimateUpgradeMs(c.firmware, c.loader, c.blockSize, c.mode == EngineMode::App);
        EXPECT_GE(estimate, waited);
        EXPECT_LE(estimate, waited + waited * 15 / 100);
    }
    EXPECT_GT(EstimateUpgradeMs(129024, 10240, 1, true), kLongUpgradeMs);
    EXPECT_LT(EstimateUpgradeMs(129024, 10240, 1024, true), kLongUpgradeMs);
}

// Every failure says its own words, for the command line and as a language key.
TEST(UpgradeFailureTextTest, EachFailureHasATextAndAKeyOfItsOwn) {
    std::set<std::string> texts;
    std::set<std::string> keys;
    for (int f = static_cast<int>(UpgradeFailure::NoModeAnswer);
         f <= static_cast<int>(UpgradeFailure::NotBack); ++f) {
        const auto failure = static_cast<UpgradeFailure>(f);
        EXPECT_TRUE(texts.insert(UpgradeFailureText(failure)).second) << f;
        ASSERT_NE(UpgradeFailureKey(failure), nullptr) << f;
        EXPECT_TRUE(keys.insert(UpgradeFailureKey(failure)).second) << f;
        EXPECT_EQ(std::string(UpgradeFailureKey(failure)).rfind("WarningSystem.Fail.", 0), 0u);
    }
    EXPECT_STREQ(UpgradeFailureText(UpgradeFailure::None), "");
    EXPECT_EQ(UpgradeFailureKey(UpgradeFailure::None), nullptr);
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
