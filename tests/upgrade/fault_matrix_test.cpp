#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>

#include "tests/support/upgrade_fixture.h"

namespace kq::test {
namespace {

enum class Fault { Drop, Crc, Unplug, OddMode };

const char* Name(Fault f) {
    switch (f) {
        case Fault::Drop:
            return "drop";
        case Fault::Crc:
            return "crc";
        case Fault::Unplug:
            return "unplug";
        case Fault::OddMode:
            return "odd-mode";
    }
    return "?";
}

void Add(EngineSettings& settings, Fault fault, uint64_t request) {
    switch (fault) {
        case Fault::Drop:
            settings.dropFaults.insert(request);
            break;
        case Fault::Crc:
            settings.crcFaults.insert(request);
            break;
        case Fault::Unplug:
            settings.unplugFaults.insert(request);
            break;
        case Fault::OddMode:
            settings.oddModeFaults.insert(request);
            break;
    }
}

// A small upgrade from an engine in its application: two loader blocks, then the firmware past
// the loader area. Block sizes that do not divide 9216 leave a block that reaches into it.
const std::vector<uint8_t>& Loader() {
    static const auto image = MakeImage(2048, 31);
    return image;
}
const std::vector<uint8_t>& Firmware() {
    static const auto image = MakeImage(12288, 32);
    return image;
}
// What the engine's flash holds before: every byte the upgrade replaces must be found in the
// backup with this value.
const std::vector<uint8_t>& OldFlash() {
    static const auto image = MakeImage(VirtualEngine::kFlashSize, 33);
    return image;
}
constexpr uint32_t kBlockSizes[] = {1024, 2048, 4096, 5000};

EngineSettings WithBlockSize(uint32_t blockSize) {
    EngineSettings settings;
    settings.blockSize = blockSize;
    return settings;
}

struct CleanRun {
    std::vector<CommandCode> codes;  // the command of each request, in order
    int waits = 0;
    size_t progressCalls = 0;
};

CleanRun Clean(uint32_t blockSize) {
    UpgradeRig rig;
    rig.Attach(WithBlockSize(blockSize));
    EXPECT_EQ(rig.Upgrade(Firmware(), Loader()), UpgradeOutcome::Success);
    CleanRun run;
    for (const auto& frame : rig.engine->frames()) run.codes.push_back(CommandCode{frame[2]});
    run.waits = rig.sleeper.calls;
    run.progressCalls = rig.positions.size();
    return run;
}

bool AfterTheFinish(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::FinishNotSent:
        case UpgradeFailure::StayedInLoader:
        case UpgradeFailure::UnexpectedMode:
        case UpgradeFailure::NotBack:
        case UpgradeFailure::OtherEngine:
            return true;
        default:
            return false;
    }
}

// The tallies the reliability notes quote.
struct Counts {
    int runs = 0;
    int successes = 0;
    int falseSuccesses = 0;  // success claimed without the engine back in "APP", flash right
    int missingBytes = 0;    // bytes the engine held, replaced, and not in the backup
    int framesToOthers = 0;  // frames that reached an engine other than the one upgraded
    std::map<UpgradeFailure, int> failures;

    void Print(const char* what) const {
        std::cout << what << ": " << runs << " runs, " << successes << " successes, "
                  << falseSuccesses << " false successes, " << missingBytes
                  << " replaced bytes missing from the backup, " << framesToOthers
                  << " frames to another engine; failures:";
        for (const auto& [failure, n] : failures) {
            std::cout << " " << UpgradeFailureKey(failure) << " " << n;
        }
        std::cout << '\n';
    }
};

// A run against an engine whose flash holds OldFlash(), with a backup folder of its own.
struct AuditedRig : UpgradeRig {
    void Prepare(EngineSettings settings, bool byPath = false) {
        Attach(std::move(settings), byPath);
        engine->setFlash(OldFlash());
        backupDir = folder.path;
    }
    TempFolder folder{FastTemporaryFolder()};
};

// What every run must show, whatever went wrong: success only when the engine is seen back in
// its application with the firmware in place, no stop that was not asked for, a failure that
// stops sending, and every replaced byte in the backup.
void Audit(AuditedRig& rig, UpgradeOutcome outcome, Counts& counts) {
    ++counts.runs;
    EXPECT_NE(outcome, UpgradeOutcome::Stopped);
    EXPECT_FALSE(rig.upgrading);
    const bool finishSent = !rig.Requests(CommandCode::UpgradeEnd).empty();
    if (outcome == UpgradeOutcome::Success) {
        ++counts.successes;
        const bool seen = rig.bus.IsPresent(rig.engine) && rig.engine->mode() == EngineMode::App &&
                          rig.FlashHolds(Firmware()) && finishSent;
        if (!seen) ++counts.falseSuccesses;
        EXPECT_TRUE(seen) << "success without the engine back in its application, flash right";
        EXPECT_EQ(rig.result.failure, UpgradeFailure::None);
    } else {
        ++counts.failures[rig.result.failure];
        EXPECT_NE(rig.result.failure, UpgradeFailure::None);
        EXPECT_TRUE(!finishSent || AfterTheFinish(rig.result.failure))
            << UpgradeFailureKey(rig.result.failure);
    }
    if (rig.other) {
        counts.framesToOthers += static_cast<int>(rig.other->frames().size());
        EXPECT_TRUE(rig.other->frames().empty()) << "frames reached the other engine";
    }
    const auto flash = rig.engine->flash();
    const auto& old = OldFlash();
    const std::vector<uint8_t> saved =
        rig.result.backupPath.empty() ? std::vector<uint8_t>{} : ReadFile(rig.result.backupPath);
    int missing = 0;
    for (size_t i = kProtectedFirmwareBytes; i < Firmware().size(); ++i) {
        if (flash[i] != old[i] && (i >= saved.size() || saved[i] != old[i])) ++missing;
    }
    counts.missingBytes += missing;
    EXPECT_EQ(missing, 0) << "replaced bytes missing from " << rig.result.backupPath;
}

// A lone fault that the procedure must notice: wherever it acts on a result. A damaged or lost
// mode answer is asked again, and so is an odd one after a restart.
bool Fatal(CommandCode code, Fault fault) {
    switch (code) {
        case CommandCode::BlockSize:
        case CommandCode::BlockRead:
            return fault != Fault::OddMode;
        case CommandCode::BlockWrite:
        case CommandCode::LoaderStart:
        case CommandCode::UpgradeEnd:
            return fault == Fault::Drop || fault == Fault::Unplug;  // no answer to corrupt
        case CommandCode::Mode:
            return fault == Fault::Unplug;
        default:
            return false;
    }
}

// An odd answer at the very first query is, by the protocol's rule, the loader's: an
// application that answers neither "APP" nor a damaged frame cannot be told from a loader, so
// such a fault is only put on the queries after a restart.
bool Applies(Fault fault, const std::vector<CommandCode>& codes, uint64_t request) {
    if (fault != Fault::OddMode) return true;
    return request > 1 && request <= codes.size() && codes[request - 1] == CommandCode::Mode;
}

TEST(UpgradeFaultMatrix, EveryFaultAloneAndInPairsEndsHonestly) {
    Counts counts;
    constexpr Fault kFaults[] = {Fault::Drop, Fault::Crc, Fault::Unplug, Fault::OddMode};
    for (const uint32_t blockSize : kBlockSizes) {
        const auto codes = Clean(blockSize).codes;
        const uint64_t n = codes.size();
        for (const Fault first : kFaults) {
            for (uint64_t a = 1; a <= n; ++a) {
                if (!Applies(first, codes, a)) continue;
                for (const Fault second : kFaults) {
                    // b == 0: the first fault alone; repeated requests count past the clean run.
                    for (uint64_t b = 0; b <= n + 3; ++b) {
                        if (b != 0 && (b <= a || !Applies(second, codes, b))) continue;
                        if (b == 0 && second != Fault::Drop) continue;
                        SCOPED_TRACE(
                            "block size " + std::to_string(blockSize) + ", " + Name(first) + "@" +
                            std::to_string(a) +
                            (b ? std::string(" + ") + Name(second) + "@" + std::to_string(b)
                               : std::string()));
                        EngineSettings settings = WithBlockSize(blockSize);
                        Add(settings, first, a);
                        if (b) Add(settings, second, b);
                        AuditedRig rig;
                        rig.Prepare(settings);
                        const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());
                        Audit(rig, outcome, counts);
                        if (b == 0 && Fatal(codes[a - 1], first)) {
                            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
                        }
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    }
    counts.Print("faults at every request, alone and in pairs");
}

// The engine's restarts take their time, another engine of the same serial is on the bus
// (plugged in before, or while the engine is away, so that it takes the serial), and the
// engine's first answer after the finish is lost or odd.
TEST(UpgradeFaultMatrix, SlowRestartsAndAnotherEngineOfTheSameSerial) {
    enum Other { None, Before, DuringLoaderRestart, DuringCheck };
    constexpr int kNever = 0;
    Counts counts;
    for (const uint32_t blockSize : kBlockSizes) {
        // The check's first mode query, when no answer before it went missing.
        const uint64_t checkQuery = Clean(blockSize).codes.size();
        for (const Other other : {None, Before, DuringLoaderRestart, DuringCheck}) {
            for (const EngineMode otherMode : {EngineMode::Loader, EngineMode::App}) {
                if (other == None && otherMode == EngineMode::App) continue;
                for (const int loaderBack : {1, 2, kLoaderSearchTries, kNever}) {
                    for (const int checkBack : {1, 2, kFinishCheckTries, kNever}) {
                        for (const bool byPath : {false, true}) {
                            // Plugged in first, the other goes by the serial: only a path
                            // picks the engine then.
                            if (other == Before && !byPath) continue;
                            for (const int fault : {-1, 0, 1, 2}) {  // none, or a Fault
                                SCOPED_TRACE("block size " + std::to_string(blockSize) +
                                             ", other " + std::to_string(other) + " in mode " +
                                             std::to_string(static_cast<int>(otherMode)) +
                                             ", back at loader try " + std::to_string(loaderBack) +
                                             ", at check try " + std::to_string(checkBack) +
                                             (byPath ? ", by path" : "") + ", fault " +
                                             std::to_string(fault));
                                EngineSettings settings = WithBlockSize(blockSize);
                                settings.noReturn = true;
                                settings.noReturnAfterFinish = true;
                                const Fault kinds[] = {Fault::Drop, Fault::OddMode, Fault::Crc};
                                if (fault >= 0) Add(settings, kinds[fault], checkQuery);
                                EngineSettings otherSettings;
                                otherSettings.mode = otherMode;
                                AuditedRig rig;
                                if (other == Before) rig.PlugOther(otherSettings);
                                rig.Prepare(settings, byPath);
                                rig.onAttempt = [&](UpgradePhase phase, int n) {
                                    const bool loader = phase == UpgradePhase::WaitingForLoader;
                                    if (n == 1 && ((loader && other == DuringLoaderRestart) ||
                                                   (!loader && other == DuringCheck))) {
                                        rig.PlugOther(otherSettings);
                                    }
                                    if (n == (loader ? loaderBack : checkBack)) {
                                        rig.bus.ReturnNow(rig.engine);
                                    }
                                };
                                const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());
                                Audit(rig, outcome, counts);
                                // An odd answer at the last try of the check is all the
                                // check sees.
                                const bool back = loaderBack != kNever && checkBack != kNever &&
                                                  !(fault == 1 && checkBack == kFinishCheckTries);
                                EXPECT_EQ(outcome == UpgradeOutcome::Success, back);
                                if (::testing::Test::HasFailure()) return;
                            }
                        }
                    }
                }
            }
        }
    }
    counts.Print("slow restarts, another engine of the same serial");
}

// A stop takes effect at the next block; once the last block has begun, the engine is told to
// finish and the upgrade ends as it went.
void ExpectStopHonoured(UpgradeRig& rig, UpgradeOutcome outcome, bool tooLate) {
    EXPECT_FALSE(rig.stop) << "the request is used up";
    EXPECT_FALSE(rig.upgrading);
    if (tooLate) {
        EXPECT_EQ(outcome, UpgradeOutcome::Success);
    }
    if (outcome == UpgradeOutcome::Success) {
        EXPECT_TRUE(rig.FlashHolds(Firmware()));
        EXPECT_EQ(rig.engine->finishUpgradeCount(), 1);
    } else {
        EXPECT_EQ(outcome, UpgradeOutcome::Stopped);
        EXPECT_TRUE(rig.Requests(CommandCode::UpgradeEnd).empty());
        EXPECT_EQ(rig.positions.back(), 0);
        EXPECT_EQ(rig.controls.back(), kIdleControls);
    }
}

TEST(UpgradeFaultMatrix, StopAtEveryBlockAndEveryWait) {
    for (const uint32_t blockSize : kBlockSizes) {
        const CleanRun clean = Clean(blockSize);
        // After each block's progress: before the next block, or after the last one.
        for (size_t k = 1; k < clean.progressCalls; ++k) {
            SCOPED_TRACE("block size " + std::to_string(blockSize) + ", stop after progress " +
                         std::to_string(k));
            UpgradeRig rig;
            rig.Attach(WithBlockSize(blockSize));
            size_t calls = 0;
            rig.onProgress = [&](int) {
                if (++calls == k + 1) rig.stop = true;
            };
            const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());
            ExpectStopHonoured(rig, outcome, k + 1 == clean.progressCalls);
        }
        // In the middle of every block (the link's pauses), every loader search and the finish
        // wait, which is the last wait of all.
        for (int w = 1; w <= clean.waits; ++w) {
            SCOPED_TRACE("block size " + std::to_string(blockSize) + ", stop in wait " +
                         std::to_string(w));
            UpgradeRig rig;
            rig.Attach(WithBlockSize(blockSize));
            rig.sleeper.onSleep = [&](int n) {
                if (n == w) rig.stop = true;
            };
            const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());
            ExpectStopHonoured(rig, outcome, w == clean.waits);
        }
    }
}

}  // namespace
}  // namespace kq::test
