#include "upgrade/upgrade.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "devlink/codec.h"
#include "upgrade/backup.h"

namespace kq {
namespace {

using std::chrono::milliseconds;

// Positions are computed in floating point and truncated: 52.5 shows as 52.
int Position(uint32_t offset, uint32_t length, double span, int base) {
    return static_cast<int>(static_cast<double>(offset) / length * span + base);
}

// What of a block goes out: a block that reaches into the protected area is sent from its end
// on, and a block below it not at all.
uint32_t LengthSent(uint32_t offset, uint32_t length, uint32_t protectedBytes) {
    const uint32_t end = offset + length;
    return end > protectedBytes ? end - std::max(offset, protectedBytes) : 0;
}

uint32_t LargestBlockSent(uint32_t length, uint32_t blockSize, uint32_t protectedBytes) {
    uint32_t largest = 0;
    ForEachBlock(length, blockSize, [&](uint32_t offset, uint32_t l) {
        largest = std::max(largest, LengthSent(offset, l, protectedBytes));
        return true;
    });
    return largest;
}

using ModeAnswer = std::array<uint8_t, kApplicationModeAnswer.size()>;

// What one search for the engine at its place ended with.
struct Look {
    bool atPlace = false;  // the engine was found there (and held, where that is possible)
    EngineState state = EngineState::Silent;
    ModeAnswer answer{};
    bool othersSeen = false;  // some try saw only engines elsewhere, or two at the place
    bool busy = false;        // another program kept it claimed: the search ended there
};

class Worker {
  public:
    explicit Worker(UpgradeJob& job) : job_(job), link_(job.link), commands_(job.link) {}

    UpgradeResult Run() {
        Controls(kBusyControls);
        Progress(0);
        const bool success =
            Start() && (state_ == EngineState::Loader || (WriteLoader() && RestartIntoLoader())) &&
            WriteFirmware() && Finish() && Check();
        return End(success);
    }

  private:
    uint32_t firmwareLength() const { return static_cast<uint32_t>(job_.firmware.size()); }
    uint32_t loaderLength() const { return static_cast<uint32_t>(job_.loader.size()); }

    // Everything that decides the run before anything is written.
    bool Start() {
        // The engine must be found again where it is now after each restart.
        place_ = link_.devicePlace();
        if (!Hold()) return false;
        state_ = AskState(&answer_);
        if (state_ == EngineState::Silent) return Fail(UpgradeFailure::NoModeAnswer);
        if (state_ == EngineState::Loader) loaderAnswer_ = answer_;
        const bool loaderPhase = state_ == EngineState::Application;
        blockSize_ = loaderPhase ? BlockSize(loaderLength(), 0)
                                 : BlockSize(firmwareLength(), kProtectedFirmwareBytes);
        if (blockSize_ == 0) return false;
        if (job_.backupDir) {
            std::string error;
            backup_ = FirmwareBackup::Open(*job_.backupDir,
                                           {link_.deviceSerial(), job_.productId, place_},
                                           firmwareLength(), error);
            if (!backup_) {
                result_.backupError = error;
                return Fail(UpgradeFailure::BackupUnavailable);
            }
            AnnounceBackup();
        }
        if (!job_.confirm) return true;
        // The user may take a while to answer: the engine is not kept from others meanwhile.
        hold_.reset();
        const UpgradePlan plan{.state = state_,
                               .serial = link_.deviceSerial(),
                               .productId = job_.productId,
                               .place = place_,
                               .blockSize = blockSize_,
                               .firmwareLength = firmwareLength(),
                               .loaderLength = loaderLength(),
                               .loaderPhase = loaderPhase,
                               .estimateMs = EstimateUpgradeMs(firmwareLength(), loaderLength(),
                                                               blockSize_, loaderPhase)};
        if (!job_.confirm(plan)) {
            cancelled_ = true;
            return false;
        }
        return Hold();
    }

    // Only a valid answer decides: "APP" is the application, any other valid answer the loader.
    // A missing or damaged answer is asked again, and never taken for "not APP".
    EngineState AskState(ModeAnswer* answer) {
        for (int attempt = 0; attempt < kModeQueryTries; ++attempt) {
            ModeAnswer mode{};
            if (commands_.GetMode(mode.data())) {
                *answer = mode;
                return IsApplicationModeAnswer(mode) ? EngineState::Application
                                                     : EngineState::Loader;
            }
        }
        return EngineState::Silent;
    }

    // Keeps the engine at DevicePath claimed for this process; a moment of another program's use
    // is waited out. A platform that cannot hold, or an engine that cannot be opened, leaves the
    // run to its exchanges, which tell what is wrong.
    bool Hold() {
        OpenResult why;
        for (uint32_t waited = 0;; waited += kBusyRetryMs) {
            hold_ = link_.HoldEngine(&why);
            if (hold_) return true;
            if (why.error != OpenError::Busy) {
                link_.trace().Note("engine not held: " + std::string(OpenErrorText(why.error)));
                return true;
            }
            if (waited >= kBusyWaitMs) {
                link_.trace().Note("engine not held: busy for " + std::to_string(waited) + " ms");
                return Fail(UpgradeFailure::EngineBusy);
            }
            job_.sleeper.SleepFor(milliseconds(kBusyRetryMs));
        }
    }

    bool Fail(UpgradeFailure failure, uint32_t address = 0) {
        result_.failure = failure;
        result_.failedAddress = address;
        return false;
    }

    // The engine's block size, or 0 when it gave none or one whose blocks of this image no frame
    // can carry; a 0 also drops a pending stop request, so the failure is reported.
    uint32_t BlockSize(uint32_t length, uint32_t protectedBytes) {
        uint32_t b = commands_.GetBlockSize();
        if (b != 0 &&
            LargestBlockSent(length, b, protectedBytes) > kMaxPayload - kBlockHeaderSize) {
            link_.trace().Note("block size " + std::to_string(b) + " does not fit a frame");
            b = 0;
        }
        if (b == 0) {
            job_.m_bStopRequested = false;
            Fail(UpgradeFailure::NoBlockSize);
        }
        return b;
    }

    bool StopRequested() const { return job_.m_bStopRequested.load(); }

    bool WriteLoader() {
        Phase(UpgradePhase::Loader);
        const uint32_t length = loaderLength();
        const uint8_t* image = job_.loader.data();
        return ForEachBlock(length, blockSize_, [&](uint32_t offset, uint32_t l) {
            if (StopRequested()) return false;
            if (!commands_.WriteBlockVerified(offset, l, image + offset)) {
                return Fail(UpgradeFailure::BlockTransfer, offset);
            }
            Block(UpgradePhase::Loader, offset, l);
            Progress(offset + l == length ? 50 : Position(offset + l, length, 50, 0));
            return true;
        });
    }

    // Looks for the engine at place_ up to `tries` times, each try after a wait of
    // kLoaderSearchWaitMs (but the first when firstAtOnce), until it answers `wanted`. An
    // engine found there that gives another answer or none is looked at again in the next try.
    Look Search(UpgradePhase phase, int tries, bool firstAtOnce, EngineState wanted) {
        Look look;
        for (int attempt = 1; attempt <= tries; ++attempt) {
            if (job_.callbacks.attempt) job_.callbacks.attempt(phase, attempt, tries);
            if (attempt > 1 || !firstAtOnce) {
                job_.sleeper.SleepFor(milliseconds(kLoaderSearchWaitMs));
            }
            look.atPlace = false;
            EngineSighting seen;
            if (!link_.FindOnlyDevice({.serial = "", .path = "", .place = place_}, &seen)) {
                // With no place, an engine is taken only when it is the one engine listed.
                if (seen.elsewhere > 0 || seen.admitted > 1 ||
                    (place_.empty() && seen.admitted == 1)) {
                    look.othersSeen = true;
                }
                continue;
            }
            look.atPlace = true;
            if (!Hold()) {
                look.busy = true;
                return look;
            }
            look.state = AskState(&look.answer);
            // An application that has not left yet (its StartLoader lost) and gives one odd
            // answer would be taken for its loader: a loader answers the same twice.
            if (look.state == EngineState::Loader && wanted == EngineState::Loader) {
                ModeAnswer again{};
                const EngineState second = AskState(&again);
                if (second != EngineState::Loader || again != look.answer) {
                    look.state = second == EngineState::Application ? second : EngineState::Silent;
                }
            }
            if (look.state == wanted) return look;
            hold_.reset();
        }
        return look;
    }

    bool RestartIntoLoader() {
        Phase(UpgradePhase::WaitingForLoader);
        // The last block boundary before the engine leaves its application, looked at after the
        // phase was told: whoever saw the phase still at Loader when stopping was told the
        // firmware stays as it was, and so it does.
        if (StopRequested()) return false;
        commands_.StartLoader();
        // The engine leaves the bus: that ends the hold.
        hold_.reset();
        // An engine still answering APP has not left its application yet (or never got
        // StartLoader): writing the firmware now would end in a success that changed nothing,
        // so it counts as not found.
        const Look look =
            Search(UpgradePhase::WaitingForLoader, kLoaderSearchTries, false, EngineState::Loader);
        if (look.busy) return false;
        if (look.atPlace && look.state == EngineState::Loader) {
            loaderAnswer_ = look.answer;
            base_ = 50;
            loaderRan_ = true;
            return true;
        }
        if (look.atPlace && look.state == EngineState::Silent) {
            return Fail(UpgradeFailure::NoModeAnswer);
        }
        if (!look.atPlace && look.othersSeen) return Fail(UpgradeFailure::OtherEngine);
        return Fail(UpgradeFailure::LoaderNotFound);
    }

    // Every byte of the image from the protected area's end up is read back and, where it
    // differs, saved in the backup and then written and verified. A block that reaches into the
    // protected area is handled from the area's end, so no byte past it is left out whatever
    // the block size.
    bool WriteFirmware() {
        Phase(UpgradePhase::Firmware);
        const uint32_t length = firmwareLength();
        if (loaderRan_) {
            blockSize_ = BlockSize(length, kProtectedFirmwareBytes);
            if (blockSize_ == 0) return false;
        }
        std::vector<uint8_t> readBack;
        try {
            readBack.resize(LargestBlockSent(length, blockSize_, kProtectedFirmwareBytes));
            if (backup_) unsaved_.reserve(length);
        } catch (const std::bad_alloc&) {
            job_.m_bStopRequested = false;
            return Fail(UpgradeFailure::NoMemory);
        }
        const uint8_t* image = job_.firmware.data();
        const int span = 100 - base_;
        return ForEachBlock(length, blockSize_, [&](uint32_t offset, uint32_t l) {
            if (StopRequested()) return false;
            const uint32_t end = offset + l;
            if (const uint32_t n = LengthSent(offset, l, kProtectedFirmwareBytes); n > 0) {
                const uint32_t start = end - n;
                bool differs = false;
                // The save of what the block replaces runs in the engine's pause after the read.
                const bool read = commands_.ReadBlock(start, n, readBack.data(), [&] {
                    KeepForBackup(start, {readBack.data(), n});
                    differs = std::memcmp(readBack.data(), image + start, n) != 0;
                    if (differs) BeginSave();
                });
                if (!read) return Fail(UpgradeFailure::BlockTransfer, start);
                if (differs) {
                    if (!EndSave()) return false;
                    if (!commands_.WriteBlockVerified(start, n, image + start)) {
                        return Fail(UpgradeFailure::BlockTransfer, start);
                    }
                }
            }
            Block(UpgradePhase::Firmware, offset, l);
            Progress(end == length ? 100 : Position(end, length, span, base_));
            return true;
        });
    }

    // Read-back bytes not in the backup yet. Blocks follow one another, so they form one range,
    // saved with the next block that is rewritten: one save for a run of unchanged blocks and
    // the block after them.
    void KeepForBackup(uint32_t offset, std::span<const uint8_t> bytes) {
        if (!backup_) return;
        if (unsaved_.empty()) unsavedOffset_ = offset;
        unsaved_.insert(unsaved_.end(), bytes.begin(), bytes.end());
    }

    // The save runs on a thread of its own while the worker takes the engine's pause; nothing
    // touches unsaved_ or the backup until EndSave has its result.
    void BeginSave() {
        if (!backup_ || unsaved_.empty()) return;
        const auto save = [this] { return backup_->Save(unsavedOffset_, unsaved_, saveError_); };
        try {
            saving_ = std::async(std::launch::async, save);
        } catch (const std::system_error&) {
            std::promise<bool> done;
            done.set_value(save());
            saving_ = done.get_future();
        }
    }

    // Whether the bytes are on the disk: only then may the block be written.
    bool EndSave() {
        if (!saving_.valid()) return true;
        if (!saving_.get()) {
            result_.backupError = saveError_;
            return Fail(UpgradeFailure::BackupNotSaved, unsavedOffset_);
        }
        unsaved_.clear();
        AnnounceBackup();
        return true;
    }

    void AnnounceBackup() {
        if (announced_ || !job_.callbacks.backup || backup_->path().empty()) return;
        announced_ = true;
        job_.callbacks.backup(backup_->path(), backup_->resumed());
    }

    // From here on the engine has been told to finish: the outcome is the upgrade's own, and a
    // late stop request changes nothing.
    bool Finish() {
        Phase(UpgradePhase::Finishing);
        finishSent_ = true;
        const bool sent = commands_.FinishUpgrade();
        hold_.reset();
        if (!sent) return Fail(UpgradeFailure::FinishNotSent);
        job_.sleeper.SleepFor(milliseconds(kFinishWaitMs));
        return true;
    }

    // Success is what is seen: the engine at its place, back in its application.
    bool Check() {
        Phase(UpgradePhase::Checking);
        const Look look =
            Search(UpgradePhase::Checking, kFinishCheckTries, true, EngineState::Application);
        hold_.reset();
        if (look.busy) return false;
        if (look.atPlace && look.state == EngineState::Application) return true;
        if (look.atPlace && look.state == EngineState::Loader) {
            return Fail(look.answer == loaderAnswer_ ? UpgradeFailure::StayedInLoader
                                                     : UpgradeFailure::UnexpectedMode);
        }
        if (!look.atPlace && look.othersSeen) return Fail(UpgradeFailure::OtherEngine);
        return Fail(UpgradeFailure::NotBack);
    }

    void EndBackup(bool success) {
        if (!backup_) return;
        // The unchanged blocks after the last one written complete the image, where the file
        // exists at all: a run that replaced nothing leaves no backup. After a failed save the
        // backup is left as that save left it.
        if (!unsaved_.empty() && !backup_->path().empty() &&
            result_.failure != UpgradeFailure::BackupNotSaved) {
            std::string error;
            if (!backup_->Save(unsavedOffset_, unsaved_, error)) {
                result_.backupError = "the unchanged end of the image is missing: " + error;
            }
        }
        if (success) backup_->EndSeries();
        result_.backupPath = backup_->path();
        result_.backupResumed = !result_.backupPath.empty() && backup_->resumed();
    }

    UpgradeResult End(bool success) {
        hold_.reset();
        EndBackup(success);
        if (job_.m_bUpgrading) *job_.m_bUpgrading = false;
        const bool stopRequested = job_.m_bStopRequested.exchange(false);
        if (cancelled_ || (stopRequested && !finishSent_)) {
            Controls(kIdleControls);
            Progress(0);
            result_.outcome = cancelled_ ? UpgradeOutcome::Cancelled : UpgradeOutcome::Stopped;
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
    void Block(UpgradePhase phase, uint32_t offset, uint32_t length) {
        if (job_.callbacks.block) job_.callbacks.block(phase, offset, length);
    }

    UpgradeJob& job_;
    DeviceLink& link_;
    CommandSet commands_;
    UpgradeResult result_;
    std::string place_;
    std::unique_ptr<InterfaceHold> hold_;
    EngineState state_ = EngineState::Silent;
    ModeAnswer answer_{};
    // How the loader answered the mode query in this run, to tell an engine that stayed in it.
    ModeAnswer loaderAnswer_{};
    uint32_t blockSize_ = 0;
    int base_ = 0;
    bool loaderRan_ = false;
    bool finishSent_ = false;
    bool cancelled_ = false;
    std::unique_ptr<FirmwareBackup> backup_;
    std::vector<uint8_t> unsaved_;
    uint32_t unsavedOffset_ = 0;
    std::future<bool> saving_;
    std::string saveError_;
    bool announced_ = false;
};

// Frame sizes and the time a frame takes beyond the protocol's waits: a millisecond for each
// transfer and one for each thousand bytes (a full-speed USB link's bulk rate).
constexpr uint64_t kRequestBytes = 4 + 1;
constexpr uint64_t kBlockRequestBytes = 4 + kBlockHeaderSize;

struct Tally {
    uint64_t waitMs = 0;
    uint64_t transfers = 0;
    uint64_t bytes = 0;

    void Transfer(uint64_t n) {
        ++transfers;
        bytes += n;
    }
    void Exchange(uint64_t requestBytes, uint64_t answerPayload) {
        Transfer(requestBytes);
        Transfer(answerPayload + kFrameOverhead);
    }
    void ModeQuery() { Exchange(kRequestBytes, kApplicationModeAnswer.size()); }
    void VerifiedWrite(uint64_t length) {
        Transfer(kBlockRequestBytes + length);
        waitMs += 60;
        Exchange(kBlockRequestBytes, length);
    }
    uint64_t Ms() const { return waitMs + transfers + (bytes + 999) / 1000; }
};

}  // namespace

bool ForEachBlock(uint32_t length, uint32_t blockSize,
                  const std::function<bool(uint32_t offset, uint32_t length)>& fn) {
    if (blockSize == 0) return false;
    for (uint64_t offset = 0; offset < length; offset += blockSize) {
        const auto l = static_cast<uint32_t>(std::min<uint64_t>(blockSize, length - offset));
        if (!fn(static_cast<uint32_t>(offset), l)) return false;
    }
    return true;
}

uint64_t EstimateUpgradeMs(uint32_t firmwareLength, uint32_t loaderLength, uint32_t blockSize,
                           bool loaderPhase) {
    Tally t;
    t.ModeQuery();
    t.Exchange(kRequestBytes, 4);  // block size
    if (loaderPhase) {
        ForEachBlock(loaderLength, blockSize, [&](uint32_t, uint32_t l) {
            t.VerifiedWrite(l);
            return true;
        });
        t.Transfer(kRequestBytes);  // StartLoader
        t.waitMs += kLoaderSearchWaitMs;
        t.ModeQuery();  // the loader is asked twice
        t.ModeQuery();
        t.Exchange(kRequestBytes, 4);
    }
    ForEachBlock(firmwareLength, blockSize, [&](uint32_t offset, uint32_t l) {
        const uint32_t n = LengthSent(offset, l, kProtectedFirmwareBytes);
        if (n == 0) return true;
        t.Exchange(kBlockRequestBytes, n);  // the read-back
        t.waitMs += 20;
        t.VerifiedWrite(n);
        return true;
    });
    t.Transfer(kRequestBytes);  // FinishUpgrade
    t.waitMs += kFinishWaitMs;
    t.ModeQuery();
    return t.Ms();
}

const char* UpgradeMessageKey(UpgradeOutcome outcome) {
    switch (outcome) {
        case UpgradeOutcome::Success:
            return "WarningSystem.FirmWareUpgrateSuccess";
        case UpgradeOutcome::Failure:
            return "WarningSystem.FirmWareUpgrateFail";
        case UpgradeOutcome::Stopped:
        case UpgradeOutcome::Cancelled:
            return nullptr;
    }
    return nullptr;
}

namespace {

struct FailureWords {
    const char* text;  // for the command line
    const char* key;   // for the windows
};

FailureWords Words(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::None:
            return {"", nullptr};
        case UpgradeFailure::NoModeAnswer:
            return {"the engine does not answer", "WarningSystem.Fail.NoModeAnswer"};
        case UpgradeFailure::NoBlockSize:
            return {"the engine reported no usable block size", "WarningSystem.Fail.NoBlockSize"};
        case UpgradeFailure::NoMemory:
            return {"out of memory", "WarningSystem.Fail.NoMemory"};
        case UpgradeFailure::BlockTransfer:
            return {"a block could not be read back, written or verified",
                    "WarningSystem.Fail.BlockTransfer"};
        case UpgradeFailure::LoaderNotFound:
            return {"the engine did not come back in its loader",
                    "WarningSystem.Fail.LoaderNotFound"};
        case UpgradeFailure::FinishNotSent:
            return {"the command to finish did not reach the engine",
                    "WarningSystem.Fail.FinishNotSent"};
        case UpgradeFailure::OtherEngine:
            return {"the engine did not come back; another engine was found",
                    "WarningSystem.Fail.OtherEngine"};
        case UpgradeFailure::EngineBusy:
            return {"another program is using the engine", "WarningSystem.Fail.EngineBusy"};
        case UpgradeFailure::BackupUnavailable:
            return {"the engine's firmware cannot be backed up",
                    "WarningSystem.Fail.BackupUnavailable"};
        case UpgradeFailure::BackupNotSaved:
            return {"the engine's firmware could not be backed up",
                    "WarningSystem.Fail.BackupNotSaved"};
        case UpgradeFailure::StayedInLoader:
            return {"the engine stayed in its loader", "WarningSystem.Fail.StayedInLoader"};
        case UpgradeFailure::UnexpectedMode:
            return {"the engine gave an unexpected answer after the upgrade",
                    "WarningSystem.Fail.UnexpectedMode"};
        case UpgradeFailure::NotBack:
            return {"the engine did not come back after the upgrade", "WarningSystem.Fail.NotBack"};
    }
    return {"", nullptr};
}

}  // namespace

const char* UpgradeFailureText(UpgradeFailure failure) {
    return Words(failure).text;
}

const char* UpgradeFailureKey(UpgradeFailure failure) {
    return Words(failure).key;
}

UpgradeResult UpgradeThreadProc(UpgradeJob& job) {
    return Worker(job).Run();
}

}  // namespace kq
