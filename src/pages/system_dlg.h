#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "devlink/sleeper.h"
#include "pages/mailbox.h"
#include "pages/page_dlg.h"
#include "upgrade/upgrade.h"

class QComboBox;
class QLineEdit;
class QThread;

namespace Ui {
class SystemPage;
}

namespace kq {

// The System page: the language choice with its restart button, and the firmware upgrade
// controls (file name, browse, Upgrade, Stop, progress).
class CSystemDlg : public CPageDlg {
    Q_OBJECT

  public:
    CSystemDlg(PageContext& context, LinkWorker& worker);
    ~CSystemDlg() override;

    bool OnInitDialog() override;
    void OnBrowse();
    void OnFileNameChange();
    void OnLanguageSelChange();
    void OnRestart();
    void OnUpgrade();
    void OnStop();
    // Closing the program mid-upgrade: asks the worker to stop, cuts its long waits short and
    // waits for it, so that it never outlives the page.
    void AbortUpgrade();

    QLineEdit* m_editFileName;
    QString m_strFileName;
    // Shared with the upgrade worker: the main window ignores device notifications while
    // m_bUpgrading is set, and the worker polls m_bStopRequested before each block.
    QThread* m_pUpgradeThread = nullptr;
    std::atomic<bool> m_bUpgrading{false};
    std::atomic<bool> m_bStopRequested{false};
    std::vector<uint8_t> m_firmwareImage;
    std::vector<uint8_t> m_loaderImage;
    uint32_t m_firmwareLength = 0;
    uint32_t m_loaderLength = 0;
    QComboBox* m_comboLanguage;
    // The engine's product id as the status bar shows it, for the name of the upgrade's backup.
    std::string m_productId;
    // How far the running upgrade has gone (Loader until the engine was told to leave its
    // application), so that closing can say truthfully what stopping leaves behind.
    UpgradePhase upgradePhase() const { return upgradePhase_.load(); }

  signals:
    // True from the start of an upgrade's worker, false once it has ended and its message is
    // closed: the other pages stay off meanwhile.
    void upgradeRunningChanged(bool running);

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Upgrade follows the upgrade's own control states, and is off while a request runs.
    void UpdateControls() override;

  private:
    // The part of OnUpgrade after the mode check: the images and the worker.
    void StartUpgrade();
    void OnUpgradeFinished(const UpgradeResult& result);
    void SetUpgradeControls(UpgradeControls controls);
    void EndWorker();
    Sleeper& UpgradeWaits();

    std::unique_ptr<Ui::SystemPage> ui_;
    RealSleeper ownUpgradeWaits_;
    std::unique_ptr<UpgradeJob> job_;
    std::atomic<UpgradePhase> upgradePhase_{UpgradePhase::Loader};
    // The upgrade worker's progress, control states and result, run here in order.
    Mailbox upgradeReports_;
    UpgradeControls controls_ = kIdleControls;
    bool modeCheckPending_ = false;
};

}  // namespace kq
