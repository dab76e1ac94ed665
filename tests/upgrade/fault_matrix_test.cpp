#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "tests/upgrade/upgrade_fixture.h"

namespace kq::test {
namespace {

enum class Fault { Drop, Crc, Unplug };

const char* Name(Fault f) {
    switch (f) {
        case Fault::Drop:
            return "drop";
        case Fault::Crc:
            return "crc";
        case Fault::Unplug:
            return "unplug";
    }
    return "?";
}

void Add(EngineSettings& settings, Fault fault, uint64_t request) {
    (fault == Fault::Drop  ? settings.dropFaults
     : fault == Fault::Crc ? settings.crcFaults
                           : settings.unplugFaults)
        .insert(request);
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

// What every run must show, whatever went wrong: no false success, no stop that was not asked
// for, and a failure that stops sending.
void ExpectHonestEnd(UpgradeRig& rig, UpgradeOutcome outcome) {
    EXPECT_NE(outcome, UpgradeOutcome::Stopped);
    EXPECT_FALSE(rig.upgrading);
    const bool finishSent = !rig.Requests(CommandCode::UpgradeEnd).empty();
    if (outcome == UpgradeOutcome::Success) {
        EXPECT_TRUE(rig.FlashHolds(Firmware())) << "success without the firmware in the flash";
        EXPECT_TRUE(finishSent);
        EXPECT_EQ(rig.result.failure, UpgradeFailure::None);
    } else {
        EXPECT_NE(rig.result.failure, UpgradeFailure::None);
        EXPECT_TRUE(!finishSent || rig.result.failure == UpgradeFailure::FinishNotSent);
    }
}

// A lone fault that the procedure must notice: wherever it acts on a result. A damaged or lost
// mode answer is asked again, and FinishUpgrade's delivery is all that can be known of it.
bool Fatal(CommandCode code, Fault fault) {
    switch (code) {
        case CommandCode::BlockSize:
        case CommandCode::BlockRead:
            return true;
        case CommandCode::BlockWrite:
        case CommandCode::LoaderStart:
            return fault != Fault::Crc;  // no answer to corrupt
        case CommandCode::Mode:
        case CommandCode::UpgradeEnd:
            return fault == Fault::Unplug;
        default:
            return false;
    }
}

TEST(UpgradeFaultMatrix, EveryFaultAloneAndInPairsEndsHonestly) {
    int runs = 0;
    for (const uint32_t blockSize : kBlockSizes) {
        const auto codes = Clean(blockSize).codes;
        const uint64_t n = codes.size();
        for (const Fault first : {Fault::Drop, Fault::Crc, Fault::Unplug}) {
            for (uint64_t a = 1; a <= n; ++a) {
                for (const Fault second : {Fault::Drop, Fault::Crc, Fault::Unplug}) {
                    // b == 0: the first fault alone; repeated requests count past the clean run.
                    for (uint64_t b = 0; b <= n + 3; ++b) {
                        if (b != 0 && b <= a) continue;
                        if (b == 0 && second != Fault::Drop) continue;
                        SCOPED_TRACE(
                            "block size " + std::to_string(blockSize) + ", " + Name(first) + "@" +
                            std::to_string(a) +
                            (b ? std::string(" + ") + Name(second) + "@" + std::to_string(b)
                               : std::string()));
                        EngineSettings settings = WithBlockSize(blockSize);
                        Add(settings, first, a);
                        if (b) Add(settings, second, b);
                        UpgradeRig rig;
                        rig.Attach(settings);
                        const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());
                        ++runs;
                        ExpectHonestEnd(rig, outcome);
                        if (b == 0 && Fatal(codes[a - 1], first)) {
                            EXPECT_EQ(outcome, UpgradeOutcome::Failure);
                        }
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    }
    std::cout << runs << " faulty upgrades, none ended in a false success\n";
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
