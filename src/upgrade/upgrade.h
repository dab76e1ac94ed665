#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "devlink/link.h"
#include "devlink/sleeper.h"

namespace kq {

// Blocks that start below this offset of the firmware image belong to the loader's own area of
// the flash and are never read or written.
inline constexpr uint32_t kProtectedFirmwareBytes = 9216;
inline constexpr int kLoaderSearchTries = 4;
inline constexpr uint32_t kLoaderSearchWaitMs = 4000;
inline constexpr uint32_t kFinishWaitMs = 3000;
// A mode query that brings no valid answer is asked again this often before the upgrade gives up:
// only a valid answer may decide whether the loader has to be written.
inline constexpr int kModeQueryTries = 3;

enum class UpgradeOutcome {
    Success,  // "WarningSystem.FirmWareUpgrateSuccess"
    Failure,  // "WarningSystem.FirmWareUpgrateFail"
    Stopped,  // the user stopped it: no message
};

// Why an upgrade failed, for messages that help the user; the window shows one text for all.
enum class UpgradeFailure {
    None,
    NoModeAnswer,    // the engine gave no valid answer to the mode query
    NoBlockSize,     // no block size, or one that no frame can carry
    NoMemory,        // the read-back buffer could not be allocated
    BlockTransfer,   // a block could not be read back, written or verified
    LoaderNotFound,  // the engine did not come back in its loader after StartLoader
    FinishNotSent,   // FinishUpgrade could not be sent
};

// A sentence for the command line ("the engine does not answer"); empty for None.
const char* UpgradeFailureText(UpgradeFailure failure);

struct UpgradeResult {
    UpgradeOutcome outcome = UpgradeOutcome::Failure;
    UpgradeFailure failure = UpgradeFailure::None;
    uint32_t failedAddress = 0;  // the block of a BlockTransfer failure
    // The engine's previous firmware, saved when the run wrote any firmware block; empty when
    // none was due. backupError says why a due backup could not be written.
    std::filesystem::path backupPath;
    std::string backupError;
};

// The message text key for an outcome, or nullptr for Stopped. The title is kUpgradeTitleKey.
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
};

// Everything the worker tells its owner. Each callback runs on the worker's thread and may be
// empty; a window turns them into queued signals.
struct UpgradeCallbacks {
    std::function<void(int position)> progress;  // 0-100
    std::function<void(UpgradeControls)> controls;
    std::function<void(UpgradePhase)> phase;
};

// One upgrade run. The images must stay untouched until UpgradeThreadProc returns.
struct UpgradeJob {
    DeviceLink& link;
    // For the waits after StartLoader and after FinishUpgrade. Interrupting it (at program close)
    // cuts them short; the stop request alone does not.
    Sleeper& sleeper;
    std::span<const uint8_t> firmware;
    std::span<const uint8_t> loader;
    // Set by the Stop button, looked at before each block, cleared by the worker.
    std::atomic<bool>& m_bStopRequested;
    // Optional: cleared when the transfer is over, before the outcome is returned, so that the
    // presence monitor listens again while the final message is shown.
    std::atomic<bool>* m_bUpgrading = nullptr;
    UpgradeCallbacks callbacks;
    // Where the previous firmware is saved (UpgradeBackupDirectory()); none: not wanted. An
    // empty folder (none could be told) makes a due backup fail, and that is reported.
    std::optional<std::filesystem::path> backupDir{};
    // The engine's product id as shown ("0A-1B-2C-3D-4E-5F"), for the backup's name; may be empty.
    std::string productId{};
};

// Runs the whole upgrade on the calling thread and returns its outcome.
//
// Control states: kBusyControls first; on Stopped, kIdleControls and progress 0 before returning.
// After Success or Failure the controls are left busy: the owner shows the message and, once it
// is dismissed, sets progress 0 and kIdleControls itself. Once FinishUpgrade has been sent, a stop
// request no longer changes the outcome: the engine was told to finish.
UpgradeResult UpgradeThreadProc(UpgradeJob& job);

}  // namespace kq
