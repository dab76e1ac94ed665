#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devlink/sleeper.h"
#include "dialogs/page_dlg.h"
#include "upgrade/upgrade.h"

namespace kq {

// The System page: the language choice (IDC_LANGUAGE_COMBO) with its restart button
// (IDC_RESTART), and the firmware upgrade controls (IDC_FILE_NAME, IDC_BROWSE, IDC_UPGRADE,
// IDC_STOP, IDC_PROGRESS).
//
// Its view reports: clicks of IDC_UPGRADE, IDC_STOP, IDC_BROWSE and IDC_RESTART; the user's
// choice in the list (OnLanguageSelChange); changes of the file name box (OnFileNameChange); a
// close request for the page itself (OnClose, which says whether it may close).
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
    // Closing the program mid-upgrade: asks the worker to stop, cuts its long waits short and
    // waits for it, so that it never outlives the page.
    void AbortUpgrade();

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
    // How far the running upgrade has gone (Loader until the engine was told to leave its
    // application), so that closing can say truthfully what stopping leaves behind.
    UpgradePhase upgradePhase() const { return upgradePhase_.load(); }

    // Told true from the start of an upgrade's worker, false once it has ended and its message
    // is closed (the main window keeps the other pages off meanwhile).
    std::function<void(bool running)> onUpgradeRunningChanged;

  protected:
    // Upgrade follows the upgrade's own control states, and is off while a request runs.
    void UpdateControls() override;

  private:
    SystemView& Page();
    // The part of OnUpgrade after the mode check: the images and the worker.
    void StartUpgrade();
    void OnUpgradeFinished(const UpgradeResult& result);
    void SetUpgradeControls(UpgradeControls controls);
    void EndWorker();
    void TellRunning(bool running);
    Sleeper& UpgradeWaits();

    SystemView* view_ = nullptr;
    RealSleeper ownUpgradeWaits_;
    std::unique_ptr<UpgradeJob> job_;
    std::atomic<UpgradePhase> upgradePhase_{UpgradePhase::Loader};
    UpgradeControls controls_ = kIdleControls;
    bool modeCheckPending_ = false;
};

}  // namespace kq
