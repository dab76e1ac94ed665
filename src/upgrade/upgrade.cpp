#include "upgrade/upgrade.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "devlink/codec.h"
#include "devlink/commands.h"
#include "upgrade/backup.h"

namespace kq {
namespace {

// Positions are computed in floating point and truncated: 52.5 shows as 52.
int Position(uint32_t offset, uint32_t length, double span, int base) {
    return static_cast<int>(static_cast<double>(offset) / length * span + base);
}

class Worker {
  public:
    explicit Worker(UpgradeJob& job) : job_(job), link_(job.link), commands_(job.link) {}

    UpgradeResult Run() {
        Controls(kBusyControls);
        const auto firmwareLength = static_cast<uint32_t>(job_.firmware.size());
        const auto loaderLength = static_cast<uint32_t>(job_.loader.size());
        Progress(0);

        bool success = false;
        const EngineState state = AskState();
        if (state == EngineState::Silent) {
            Fail(UpgradeFailure::NoModeAnswer);
        } else if ((state == EngineState::Loader ||
                    (WriteLoader(loaderLength) && RestartIntoLoader())) &&
                   WriteFirmware(firmwareLength)) {
            success = Finish();
        }
        return End(success);
    }

  private:
    // Only a valid answer decides: "APP" is the application, any other valid answer the loader.
    // A missing or damaged answer is asked again, and never taken for "not APP".
    EngineState AskState() {
        for (int attempt = 0; attempt < kModeQueryTries; ++attempt) {
            uint8_t mode[3] = {};
            if (commands_.GetMode(mode)) {
                return IsApplicationModeAnswer(mode) ? EngineState::Application
                                                     : EngineState::Loader;
            }
        }
        return EngineState::Silent;
    }

    bool Fail(UpgradeFailure failure, uint32_t address = 0) {
        result_.failure = failure;
        result_.failedAddress = address;
        return false;
    }

    // The engine's block size, or 0 when it gave none or one that no frame can carry; a 0 also
    // drops a pending stop request, so the failure is reported.
    uint32_t BlockSize() {
        uint32_t b = commands_.GetBlockSize();
        if (b > kMaxPayload - kBlockHeaderSize) b = 0;
        if (b == 0) {
            job_.m_bStopRequested = false;
            Fail(UpgradeFailure::NoBlockSize);
        }
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
            const bool last = remaining <= b;
            const uint32_t l = last ? remaining : b;
            if (!commands_.WriteBlockVerified(offset, l, image + offset)) {
                return Fail(UpgradeFailure::BlockTransfer, offset);
            }
            if (last) {
                Progress(50);
                return true;
            }
            offset += b;
            remaining -= b;
            Progress(Position(offset, length, 50, 0));
        }
    }

    bool RestartIntoLoader() {
        Phase(UpgradePhase::WaitingForLoader);
        commands_.StartLoader();
        for (int attempt = 0; attempt < kLoaderSearchTries; ++attempt) {
            job_.sleeper.SleepFor(std::chrono::milliseconds(kLoaderSearchWaitMs));
            if (!link_.FindDevice()) continue;
            // An engine still answering APP has not left its application yet (or never got
            // StartLoader): writing the firmware now would end in a success that changed
            // nothing, so it counts as not found.
            const EngineState state = AskState();
            if (state == EngineState::Silent) return Fail(UpgradeFailure::NoModeAnswer);
            if (state == EngineState::Loader) {
                base_ = 50;
                return true;
            }
        }
        return Fail(UpgradeFailure::LoaderNotFound);
    }

    // Every byte of the image from the protected area's end up is read back and, where it
    // differs, written and verified. A block that reaches into the protected area is handled
    // from the area's end, so no byte past it is left out whatever the block size.
    bool WriteFirmware(uint32_t length) {
        Phase(UpgradePhase::Firmware);
        const uint32_t b = BlockSize();
        if (b == 0) return false;
        std::vector<uint8_t> readBack;
        try {
            readBack.resize(b);
            backup_.reserve(length);
        } catch (const std::bad_alloc&) {
            job_.m_bStopRequested = false;
            return Fail(UpgradeFailure::NoMemory);
        }
        const uint8_t* image = job_.firmware.data();
        const int span = 100 - base_;
        uint32_t offset = 0;
        uint32_t remaining = length;
        while (true) {
            if (StopRequested()) return false;
            const bool last = remaining <= b;
            const uint32_t end = offset + (last ? remaining : b);
            if (end > kProtectedFirmwareBytes) {
                const uint32_t start = std::max(offset, kProtectedFirmwareBytes);
                const uint32_t l = end - start;
                if (!commands_.ReadBlock(start, l, readBack.data())) {
                    return Fail(UpgradeFailure::BlockTransfer, start);
                }
                backup_.resize(end);
                std::memcpy(backup_.data() + start, readBack.data(), l);
                if (std::memcmp(readBack.data(), image + start, l) != 0) {
                    wroteFirmware_ = true;
                    if (!commands_.WriteBlockVerified(start, l, image + start)) {
                        return Fail(UpgradeFailure::BlockTransfer, start);
                    }
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

    // From here on the engine has been told to finish: the outcome is the upgrade's own, and a
    // late stop request changes nothing.
    bool Finish() {
        Phase(UpgradePhase::Finishing);
        finishSent_ = true;
        if (!commands_.FinishUpgrade()) return Fail(UpgradeFailure::FinishNotSent);
        job_.sleeper.SleepFor(std::chrono::milliseconds(kFinishWaitMs));
        return true;
    }

    UpgradeResult End(bool success) {
        if (job_.m_bUpgrading) *job_.m_bUpgrading = false;
        if (wroteFirmware_ && job_.backupDir) {
            if (job_.backupDir->empty()) {
                result_.backupError = "no folder for it: HOME and XDG_DATA_HOME are not set";
            } else {
                SaveBackup(*job_.backupDir, job_.productId, backup_, result_.backupPath,
                           result_.backupError);
            }
        }
        const bool stopRequested = job_.m_bStopRequested.exchange(false);
        if (stopRequested && !finishSent_) {
            Controls(kIdleControls);
            Progress(0);
            result_.outcome = UpgradeOutcome::Stopped;
            result_.failure = UpgradeFailure::None;
            return result_;
        }
        result_.outcome = success ? UpgradeOutcome::Success : UpgradeOutcome::Failure;
        return result_;
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
    UpgradeResult result_;
    int base_ = 0;
    bool finishSent_ = false;
    bool wroteFirmware_ = false;
    // What the engine held before, as read back: zeros over the protected area, which is never
    // read, then every byte read so far.
    std::vector<uint8_t> backup_;
};

}  // namespace

const char* UpgradeMessageKey(UpgradeOutcome outcome) {
    switch (outcome) {
        case UpgradeOutcome::Success:
            return "WarningSystem.FirmWareUpgrateSuccess";
        case UpgradeOutcome::Failure:
            return "WarningSystem.FirmWareUpgrateFail";
        case UpgradeOutcome::Stopped:
            return nullptr;
    }
    return nullptr;
}

const char* UpgradeFailureText(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::None:
            return "";
        case UpgradeFailure::NoModeAnswer:
            return "the engine does not answer";
        case UpgradeFailure::NoBlockSize:
            return "the engine reported no usable block size";
        case UpgradeFailure::NoMemory:
            return "out of memory";
        case UpgradeFailure::BlockTransfer:
            return "a block could not be read back, written or verified";
        case UpgradeFailure::LoaderNotFound:
            return "the engine did not come back in its loader";
        case UpgradeFailure::FinishNotSent:
            return "the command to finish did not reach the engine";
    }
    return "";
}

UpgradeResult UpgradeThreadProc(UpgradeJob& job) {
    return Worker(job).Run();
}

}  // namespace kq
