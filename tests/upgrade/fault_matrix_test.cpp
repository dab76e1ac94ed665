#include <gtest/gtest.h>

#include <string>

#include "tests/upgrade/upgrade_fixture.h"

namespace kq::test {
namespace {

enum class Fault { Drop, Crc, Unplug };

const char* Name(Fault f) {
    switch (f) {
        case Fault::Drop: return "drop";
        case Fault::Crc: return "crc";
        case Fault::Unplug: return "unplug";
    }
    return "?";
}

// A small upgrade: two loader blocks, three firmware blocks past the loader area.
const std::vector<uint8_t>& Loader() {
    static const auto image = MakeImage(2048, 31);
    return image;
}
const std::vector<uint8_t>& Firmware() {
    static const auto image = MakeImage(12288, 32);
    return image;
}

// The command of each request of an undisturbed run, in order.
std::vector<CommandCode> CleanRun() {
    UpgradeRig rig;
    rig.Attach();
    EXPECT_EQ(rig.Upgrade(Firmware(), Loader()), UpgradeOutcome::Success);
    std::vector<CommandCode> codes;
    for (const auto& frame : rig.engine->frames()) codes.push_back(CommandCode{frame[2]});
    return codes;
}

// A fault can only be noticed where the procedure acts on the result: the block size, the block
// transfers, and StartLoader (the engine found again must have left its application). The mode
// query counts a missing answer as "in the loader", and FinishUpgrade's result is not looked at,
// so faults there are not judged by outcome.
bool Needed(CommandCode code, Fault fault) {
    switch (code) {
        case CommandCode::BlockSize:
        case CommandCode::BlockRead: return true;
        case CommandCode::BlockWrite:
        case CommandCode::LoaderStart: return fault != Fault::Crc;  // no answer to corrupt
        default: return false;
    }
}

TEST(UpgradeFaultMatrix, EveryFaultAtEveryRequestEndsSafely) {
    const auto codes = CleanRun();
    ASSERT_EQ(codes.size(), 19u);
    const auto startLoaderAt =
        std::find(codes.begin(), codes.end(), CommandCode::LoaderStart) - codes.begin() + 1;

    for (Fault fault : {Fault::Drop, Fault::Crc, Fault::Unplug}) {
        for (uint64_t n = 1; n <= codes.size(); ++n) {
            const CommandCode code = codes[n - 1];
            SCOPED_TRACE(std::string(Name(fault)) + "@" + std::to_string(n) + " on command " +
                         std::to_string(static_cast<int>(code)));
            EngineSettings settings;
            (fault == Fault::Drop    ? settings.dropFaults
             : fault == Fault::Crc   ? settings.crcFaults
                                     : settings.unplugFaults) = {n};
            UpgradeRig rig;
            rig.Attach(settings);

            const UpgradeOutcome outcome = rig.Upgrade(Firmware(), Loader());

            EXPECT_NE(outcome, UpgradeOutcome::Stopped);
            EXPECT_FALSE(rig.upgrading);
            if (Needed(code, fault)) {
                EXPECT_EQ(outcome, UpgradeOutcome::Failure);
            }
            if (outcome == UpgradeOutcome::Failure) {
                EXPECT_TRUE(rig.Requests(CommandCode::UpgradeEnd).empty());
                EXPECT_NE(rig.positions.back(), 100);
                if (static_cast<int64_t>(n) < startLoaderAt) {
                    EXPECT_TRUE(rig.Requests(CommandCode::LoaderStart).empty());
                }
            }
            if (outcome == UpgradeOutcome::Success && code != CommandCode::Mode) {
                EXPECT_TRUE(rig.FlashHolds(Firmware()));
            }
        }
    }
}

}  // namespace
}  // namespace kq::test
