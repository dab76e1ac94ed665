#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devlink/sleeper.h"
#include "dialogs/page_dlg.h"
#include "upgrade/history.h"
#include "upgrade/image_files.h"
#include "upgrade/upgrade.h"

namespace kq {

// How far the running upgrade has gone, as the window tells it: before the first phase nothing
// has been written.
enum class UpgradeStage {
    Idle,        // no upgrade runs (or its worker has ended)
    Preparing,   // the engine's mode, block size and backup place are looked at
    Confirming,  // the user is asked whether to go on
    Loader,
    WaitingForLoader,
    Firmware,
    Finishing,
    Checking,
};

// The System page: the language choice (IDC_LANGUAGE_COMBO) with its restart button
// (IDC_RESTART) and the line under it (IDC_LANGUAGE_NOTE), and the firmware upgrade controls
// (IDC_FILE_NAME, IDC_BROWSE, IDC_UPGRADE, IDC_STOP, IDC_PROGRESS, the phase line
// IDC_UPGRADE_PHASE) with the connected engine's last upgrade (IDC_LAST_UPGRADE).
//
// Its view reports: clicks of IDC_UPGRADE, IDC_STOP, IDC_BROWSE and IDC_RESTART; the user's
// choice in the list (OnLanguageSelChange); changes of the file name box (OnFileNameChange); a
// close request for the page itself (OnClose, which says whether it may close).
//
// An upgrade asks before anything is written (the engine, the file, the loader phase, the time),
// tells its phase while it runs, and ends with the engine looked at again and a box that says
// how it ended, why, where the engine is left and where its backup is. Each run appends its line
// to the history.
class CSystemDlg : public CPageDlg {
  public:
    CSystemDlg(PageContext& context, LinkWorker& worker);
    ~CSystemDlg() override;

    void Attach(SystemView* view);
    bool OnInitDialog() override;
    void OnBrowse();
    void OnFileNameChange();
    void OnLanguageSelChange();
    void OnRestart();
    void OnUpgrade();
    void OnStop();
    bool OnClose();
    // Closing the program mid-upgrade: answers a pending confirmation with Cancel, asks the
    // worker to stop, cuts its long waits short and waits for it, so that it never outlives the
    // page.
    void AbortUpgrade();

    // The line IDC_LAST_UPGRADE: the last upgrade the history holds of the engine the status bar
    // shows (engine set), or nothing when no engine is known.
    void ShowLastUpgrade(bool engine, const std::optional<HistoryEntry>& last);

    std::string m_strFileName;  // UTF-8
    // Shared with the upgrade worker: the main window ignores device notifications while
    // m_bUpgrading is set, and the worker polls m_bStopRequested before each block.
    std::unique_ptr<std::thread> m_pUpgradeThread;
    std::atomic<bool> m_bUpgrading{false};
    std::atomic<bool> m_bStopRequested{false};
    std::vector<uint8_t> m_firmwareImage;
    std::vector<uint8_t> m_loaderImage;
    uint32_t m_firmwareLength = 0;
    uint32_t m_loaderLength = 0;
    // The engine's product id as the status bar shows it, for the name of the upgrade's backup.
    std::string m_productId;

    // Where the running upgrade is; written by its worker, so that closing can say truthfully
    // what stopping leaves behind.
    UpgradeStage upgradeStage() const { return stage_.load(); }
    // The stop request, set only while still holds for the stage the upgrade is in at that
    // moment; false (nothing set) when it does not. The worker never changes the stage in
    // between, so a stop made while the stage was still Loader keeps the engine in its
    // application.
    bool StopIf(const std::function<bool(UpgradeStage)>& still);

    // Told true from the start of an upgrade's worker, false once it has ended and its message
    // is closed (the main window keeps the other pages off meanwhile).
    std::function<void(bool running)> onUpgradeRunningChanged;
    // Told on the UI thread after each change of the stage (the close question follows it).
    std::function<void()> onStageChanged;
    // Set by the main window: looks at the engine again, shows what it found in the status bar,
    // then calls back with its state. Without it the page asks the engine itself.
    std::function<void(std::function<void(EngineState)> then)> recheckEngine;

  protected:
    // Upgrade follows the upgrade's own control states, and is off while a request runs.
    void UpdateControls() override;

  private:
    struct Confirmation;
    struct Finished {
        UpgradeResult result;
        std::string historyError;  // why the run's history line could not be written
    };

    SystemView& Page();
    // The part of OnUpgrade after the mode check: the images and the worker.
    void StartUpgrade();
    UpgradeCallbacks Callbacks();
    // The image check's refusal, naming the file and what is wrong with it.
    void ImageCheckFailed(const ImageLoadResult& loaded, const std::string& programDir);
    // On the worker: the question posted to the UI thread, the answer waited for.
    bool Confirm(const UpgradePlan& plan, UiQueue& ui, const LifeToken& alive,
                 const std::shared_ptr<Confirmation>& confirmation);
    void AskToConfirm(const UpgradePlan& plan, const std::string& sha256,
                      Confirmation& confirmation);
    std::string ConfirmText(const UpgradePlan& plan, const std::string& sha256) const;
    // On the worker, after the run.
    std::string AppendToHistory(const UpgradeResult& result, const BackupOwner& engine);
    void OnUpgradeFinished(const Finished& finished);
    void ShowResult(const Finished& finished, EngineState left);
    std::string ResultText(const Finished& finished, EngineState left) const;
    std::string BackupText(const UpgradeResult& result) const;
    void SetStage(UpgradeStage stage);
    // UI thread: the phase line and whoever follows the stage.
    void StageChanged();
    std::string StageText() const;
    void SetUpgradeControls(UpgradeControls controls);
    void EndWorker();
    void TellRunning(bool running);
    Sleeper& UpgradeWaits();

    SystemView* view_ = nullptr;
    RealSleeper ownUpgradeWaits_;
    std::unique_ptr<UpgradeJob> job_;
    std::shared_ptr<Confirmation> confirmation_;
    // The stage is written under stageMutex_ (StopIf reads it and sets the stop under it too);
    // the attempts go with the two search stages.
    std::mutex stageMutex_;
    std::atomic<UpgradeStage> stage_{UpgradeStage::Idle};
    std::atomic<int> attempt_{0};
    std::atomic<int> attempts_{0};
    // The window is closing under the run (for its history line).
    std::atomic<bool> aborted_{false};
    std::string firmwareName_;  // the running upgrade's file, UTF-8
    bool stopPressed_ = false;  // UI thread: Stop was pressed in this run
    UpgradeControls controls_ = kIdleControls;
    bool modeCheckPending_ = false;
};

// The words the history keeps for how a run ended (see RunOutcome). closedByWindow: the window
// was closed under it.
RunOutcome HistoryOutcome(const UpgradeResult& result, bool closedByWindow);

// What the System page's line shows for an engine: its last run in the history file that got
// as far as beginning (a refused one changed nothing the engine runs); nullopt when none.
std::optional<HistoryEntry> LastUpgradeInHistory(const std::filesystem::path& file,
                                                 const BackupOwner& engine);

}  // namespace kq
