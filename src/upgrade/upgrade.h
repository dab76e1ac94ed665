#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "devlink/commands.h"
#include "devlink/link.h"
#include "devlink/sleeper.h"

namespace kq {

// Blocks that start below this offset of the firmware image belong to the loader's own area of
// the flash and are never read or written.
inline constexpr uint32_t kProtectedFirmwareBytes = 9216;
inline constexpr int kLoaderSearchTries = 4;
inline constexpr uint32_t kLoaderSearchWaitMs = 4000;
inline constexpr uint32_t kFinishWaitMs = 3000;
// After the finish wait the engine is looked for at once, then again after each of
// kLoaderSearchTries waits of kLoaderSearchWaitMs: up to 3 + 16 s for an engine slow to restart.
inline constexpr int kFinishCheckTries = 1 + kLoaderSearchTries;
// A mode query that brings no valid answer is asked again this often before the upgrade gives up:
// only a valid answer may decide whether the loader has to be written.
inline constexpr int kModeQueryTries = 3;
// Another program's claim on the engine (a status poll between two of its transfers) is waited
// out this long, in steps of kBusyRetryMs, before the upgrade gives up on the engine.
inline constexpr uint32_t kBusyWaitMs = 2000;
inline constexpr uint32_t kBusyRetryMs = 100;
// Estimates above this are worth saying before the user is asked to go on.
inline constexpr uint64_t kLongUpgradeMs = 10 * 60 * 1000;

enum class UpgradeOutcome {
    Success,    // "WarningSystem.FirmWareUpgrateSuccess"
    Failure,    // "WarningSystem.FirmWareUpgrateFail"
    Stopped,    // the user stopped it: no message
    Cancelled,  // UpgradeJob::confirm said no: nothing was written, no message
};

// Why an upgrade failed, for messages that help the user.
enum class UpgradeFailure {
    None,
    NoModeAnswer,    // the engine gave no valid answer to the mode query
    NoBlockSize,     // no block size, or one whose blocks of this image no frame can carry
    NoMemory,        // the read-back buffer could not be allocated
    BlockTransfer,   // a block could not be read back, written or verified
    LoaderNotFound,  // the engine did not come back in its loader after StartLoader
    FinishNotSent,   // FinishUpgrade could not be sent
    // After a restart no engine was seen at the engine's place but others elsewhere, or two
    // were seen there: none is taken, so nothing goes to another engine.
    OtherEngine,
    EngineBusy,         // another program kept the engine claimed
    BackupUnavailable,  // the backup folder cannot take the image: nothing was written
    BackupNotSaved,     // what a block would replace could not be saved: it was not written
    // After FinishUpgrade: the engine answers as its loader answered earlier in this run ...
    StayedInLoader,
    UnexpectedMode,  // ... or with a valid answer that is neither "APP" nor the loader's ...
    NotBack,         // ... or it did not come back (nor gave any valid answer) within the tries
};

// A sentence for the command line ("the engine does not answer"); empty for None.
const char* UpgradeFailureText(UpgradeFailure failure);
// The language key of the failure's text for the windows ("WarningSystem.Fail.NoModeAnswer");
// nullptr for None.
const char* UpgradeFailureKey(UpgradeFailure failure);

struct UpgradeResult {
    UpgradeOutcome outcome = UpgradeOutcome::Failure;
    UpgradeFailure failure = UpgradeFailure::None;
    uint32_t failedAddress = 0;  // the block of a BlockTransfer or BackupNotSaved failure
    // The backup of what the engine held, however the run ended, once the file holds any byte;
    // empty otherwise. backupError says why the backup could not be made or saved.
    std::filesystem::path backupPath;
    std::string backupError;
    // The backup began in an earlier run that did not end in success: it holds what the engine
    // held before that run, not only what this run replaced.
    bool backupResumed = false;
};

// The message text key for an outcome, or nullptr for Stopped and Cancelled. The title is
// kUpgradeTitleKey.
const char* UpgradeMessageKey(UpgradeOutcome outcome);
inline constexpr const char* kUpgradeTitleKey = "WarningSystem.Title";

// Enabled state of the System page's buttons 1032 (Upgrade), 1021 (browse) and 1024 (Stop).
struct UpgradeControls {
    bool upgrade = true;
    bool browse = true;
    bool stop = false;

    friend bool operator==(const UpgradeControls&, const UpgradeControls&) = default;
};
inline constexpr UpgradeControls kIdleControls{true, true, false};
inline constexpr UpgradeControls kBusyControls{false, false, true};

enum class UpgradePhase {
    Loader,            // the engine gave the APP answer: the loader image is being written
    WaitingForLoader,  // StartLoader sent, searching for the engine again
    Firmware,
    Finishing,  // FinishUpgrade sent, waiting for the engine to restart
    Checking,   // looking for the engine again and asking its mode: is it back in "APP"?
};

// What is about to happen, for the question before anything is written.
struct UpgradePlan {
    EngineState state = EngineState::Application;  // Application or Loader
    std::string serial;     // the engine's USB serial, where the platform tells it
    std::string productId;  // UpgradeJob::productId
    std::string place;      // InterfaceEntry::place; empty where the platform cannot tell
    uint32_t blockSize = 0;
    uint32_t firmwareLength = 0;
    uint32_t loaderLength = 0;
    bool loaderPhase = false;  // the loader is written first (the engine runs its application)
    uint64_t estimateMs = 0;   // EstimateUpgradeMs
};

// Everything the worker tells its owner. Each callback runs on the worker's thread and may be
// empty; a window turns them into queued signals.
struct UpgradeCallbacks {
    // 0-100: 0 at the start, after each block, and 0 again on Stopped and Cancelled.
    std::function<void(int position)> progress;
    std::function<void(UpgradeControls)> controls;
    // As each phase begins: Loader before the first loader block, WaitingForLoader before
    // StartLoader, Firmware before the firmware's blocks (after the loader search, or at once
    // from the loader), Finishing before FinishUpgrade, Checking after the finish wait.
    std::function<void(UpgradePhase)> phase;
    // At the start of each search try, before its wait: (WaitingForLoader, n, kLoaderSearchTries)
    // and (Checking, n, kFinishCheckTries), n from 1.
    std::function<void(UpgradePhase phase, int attempt, int attempts)> attempt{};
    // As each block of either image is done (written and verified, found unchanged, or passed
    // over in the protected area), before its progress: its offset and length in the image.
    std::function<void(UpgradePhase phase, uint32_t offset, uint32_t length)> block{};
    // Once the backup's file is known, before any byte it guards is replaced: at the start for a
    // series an earlier run began, else after the save that made the file. A program that may
    // end at once (a second Ctrl-C) names it from here.
    std::function<void(const std::filesystem::path& file, bool resumed)> backup{};
};

// One upgrade run. The images must stay untouched until UpgradeThreadProc returns.
struct UpgradeJob {
    DeviceLink& link;
    // For the waits after StartLoader and after FinishUpgrade and for a busy engine's. Interrupting
    // it (at program close) cuts them short; the stop request alone does not.
    Sleeper& sleeper;
    std::span<const uint8_t> firmware;
    std::span<const uint8_t> loader;
    // Set by the Stop button, looked at before each block, cleared by the worker.
    std::atomic<bool>& m_bStopRequested;
    // Optional: cleared when the run is over (after the final check), before the outcome is
    // returned, so that the presence monitor listens again while the final message is shown.
    std::atomic<bool>* m_bUpgrading = nullptr;
    UpgradeCallbacks callbacks;
    // Where what the engine held is saved (UpgradeBackupDirectory()); none: not wanted. A folder
    // that cannot take the image, or an empty one (none could be told), keeps the run from
    // writing anything (BackupUnavailable, backupError says why).
    std::optional<std::filesystem::path> backupDir{};
    // The engine's product id as shown ("0A-1B-2C-3D-4E-5F"), for the backup's name; may be empty.
    std::string productId{};
    // Asked on the worker's thread once the engine's mode and block size are known and the backup
    // is open, before anything is written; false ends the run as Cancelled. Empty: go on. The
    // engine is not held while it is asked.
    std::function<bool(const UpgradePlan&)> confirm{};
};

// Runs the whole upgrade on the calling thread and returns its outcome.
//
// In order: the engine is held (HoldEngine), its mode asked, the block size asked and checked,
// the backup opened (when backupDir is set), confirm asked; then the loader phase when the engine
// runs its application, StartLoader and the search for the engine at the place it had (the link's
// devicePlace()); the firmware phase, every block's old bytes saved in the backup before the
// block is written; FinishUpgrade, the finish wait, and the check that the engine at that place
// is back in its application. Success only when it answers "APP" there. The engine is held from
// the start to the final check, except while confirm is asked and while it restarts.
//
// After each restart only the engine at the same place is taken, and only when it is the one
// there; engines elsewhere are never taken (OtherEngine when they were all a search saw). Where
// the platform tells no place, an engine is taken only when it is the one engine listed at all.
// A loader is taken when it gives the same valid answer twice in a try.
//
// Control states: kBusyControls first; on Stopped and Cancelled, kIdleControls and progress 0
// before returning. After Success or Failure the controls are left busy: the owner shows the
// message and, once it is dismissed, sets progress 0 and kIdleControls itself. Once
// FinishUpgrade has been sent, a stop request no longer changes the outcome: the engine was told
// to finish.
UpgradeResult UpgradeThreadProc(UpgradeJob& job);

// Calls fn(offset, length) for each block of an image of `length` bytes in blockSize steps, in
// order: each block blockSize long but the last, which has what remains. Stops at the first fn
// that returns false. Returns whether every block was handled (true for an empty image, false
// for a blockSize of 0).
bool ForEachBlock(uint32_t length, uint32_t blockSize,
                  const std::function<bool(uint32_t offset, uint32_t length)>& fn);

// The time an upgrade with these images and this block size takes, in ms, for an engine that
// comes back at the first try of each search: the protocol's waits (60 ms a verified write,
// 20 ms a read, one loader search wait, the finish wait, a final check that finds the engine at
// once), every firmware block taken to be rewritten, and an allowance for each frame and the
// bytes it carries. An upper estimate otherwise: unchanged blocks take 60 ms less each.
uint64_t EstimateUpgradeMs(uint32_t firmwareLength, uint32_t loaderLength, uint32_t blockSize,
                           bool loaderPhase);

}  // namespace kq
