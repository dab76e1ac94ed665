#include "upgrade/upgrade.h"

#include <cstring>
#include <new>
#include <vector>

#include "devlink/commands.h"

namespace kq {
namespace {

// Positions are computed in floating point and truncated: 52.5 shows as 52.
int Position(uint32_t offset, uint32_t length, double span, int base) {
    return static_cast<int>(static_cast<double>(offset) / length * span + base);
}

bool IsAppAnswer(const uint8_t* mode) {
    return mode[0] == 'A' && mode[1] == 'P' && mode[2] == 'P';
}

class Worker {
public:
    explicit Worker(UpgradeJob& job) : job_(job), link_(job.link), commands_(job.link) {}

    UpgradeOutcome Run() {
        Controls(kBusyControls);
        const auto firmwareLength = static_cast<uint32_t>(job_.firmware.size());
        const auto loaderLength = static_cast<uint32_t>(job_.loader.size());
        Progress(0);

        bool success = false;
        uint8_t mode[3] = {};
        const bool app = commands_.GetMode(mode) && IsAppAnswer(mode);
        if ((!app || (WriteLoader(loaderLength) && RestartIntoLoader())) &&
            WriteFirmware(firmwareLength)) {
            Phase(UpgradePhase::Finishing);
            commands_.FinishUpgrade();
            job_.sleeper.SleepFor(std::chrono::milliseconds(kFinishWaitMs));
            success = true;
        }
        return End(success);
    }

private:
    // The engine's block size, or 0 when it gave none or one that no frame can carry; a 0 also
    // drops a pending stop request, so the failure is reported.
    uint32_t BlockSize() {
        uint32_t b = commands_.GetBlockSize();
        if (b > kMaxPayload - 9) b = 0;
        if (b == 0) job_.m_bStopRequested = false;
        return b;
    }

    bool StopRequested() const { return job_.m_bStopRequested.load(); }

    bool WriteLoader(uint32_t length) {
        Phase(UpgradePhase::Loader);
        const uint32_t b = BlockSize();
        if (b == 0) return false;
        const uint8_t* image = job_.loader.data();
        uint32_t offset = 0;
        uint32_t remaining = length;
        while (true) {
            if (StopRequested()) return false;
            if (remaining > b) {
                if (!commands_.WriteBlockVerified(offset, b, image + offset)) return false;
                offset += b;
                remaining -= b;
                Progress(Position(offset, length, 50, 0));
            } else {
                if (!commands_.WriteBlockVerified(offset, remaining, image + offset)) return false;
                Progress(50);
                return true;
            }
        }
    }

    bool RestartIntoLoader() {
        Phase(UpgradePhase::WaitingForLoader);
        commands_.StartLoader();
        for (int attempt = 0; attempt < kLoaderSearchTries; ++attempt) {
            job_.sleeper.SleepFor(std::chrono::milliseconds(kLoaderSearchWaitMs));
            // An engine still answering APP has not left its application yet (or never got
            // StartLoader): writing the firmware now would end in a success that changed
            // nothing, so it counts as not found.
            uint8_t mode[3] = {};
            if (link_.FindDevice() && !(commands_.GetMode(mode) && IsAppAnswer(mode))) {
                base_ = 50;
                return true;
            }
        }
        return false;
    }

    bool WriteFirmware(uint32_t length) {
        Phase(UpgradePhase::Firmware);
        const uint32_t b = BlockSize();
        if (b == 0) return false;
        std::vector<uint8_t> readBack;
        try {
            readBack.resize(b);
        } catch (const std::bad_alloc&) {
            job_.m_bStopRequested = false;
            return false;
        }
        const uint8_t* image = job_.firmware.data();
        const int span = 100 - base_;
        uint32_t offset = 0;
        uint32_t remaining = length;
        while (true) {
            if (StopRequested()) return false;
            const bool last = remaining <= b;
            const uint32_t l = last ? remaining : b;
            if (offset >= kProtectedFirmwareBytes) {
                if (!commands_.ReadBlock(offset, l, readBack.data())) return false;
                if (std::memcmp(readBack.data(), image + offset, l) != 0 &&
                    !commands_.WriteBlockVerified(offset, l, image + offset)) {
                    return false;
                }
            }
            if (last) {
                Progress(100);
                return true;
            }
            offset += b;
            remaining -= b;
            Progress(Position(offset, length, span, base_));
        }
    }

    UpgradeOutcome End(bool success) {
        if (job_.m_bUpgrading) *job_.m_bUpgrading = false;
        if (job_.m_bStopRequested.exchange(false)) {
            Controls(kIdleControls);
            Progress(0);
            return UpgradeOutcome::Stopped;
        }
        return success ? UpgradeOutcome::Success : UpgradeOutcome::Failure;
    }

    void Progress(int position) {
        if (job_.callbacks.progress) job_.callbacks.progress(position);
    }
    void Controls(UpgradeControls controls) {
        if (job_.callbacks.controls) job_.callbacks.controls(controls);
    }
    void Phase(UpgradePhase phase) {
        if (job_.callbacks.phase) job_.callbacks.phase(phase);
    }

    UpgradeJob& job_;
    DeviceLink& link_;
    CommandSet commands_;
    int base_ = 0;
};

}  // namespace

const char* UpgradeMessageKey(UpgradeOutcome outcome) {
    switch (outcome) {
        case UpgradeOutcome::Success: return "WarningSystem.FirmWareUpgrateSuccess";
        case UpgradeOutcome::Failure: return "WarningSystem.FirmWareUpgrateFail";
        case UpgradeOutcome::Stopped: return nullptr;
    }
    return nullptr;
}

UpgradeOutcome UpgradeThreadProc(UpgradeJob& job) { return Worker(job).Run(); }

}  // namespace kq
