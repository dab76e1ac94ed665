#pragma once

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "devlink/commands.h"
#include "devlink/platform.h"
#include "pages/flip_dlg.h"
#include "pages/led_dlg.h"
#include "pages/link_worker.h"
#include "pages/system_dlg.h"

namespace Ui {
class MainDlg;
}

namespace kq {

class CTabCtrl;
class CStatusBarCtrl;
class EnterEscapeFilter;

// What a presence check learnt on the link thread, for RefreshConnected to show.
struct EngineProbe {
    bool found = false;         // FindDevice's answer
    bool noPermission = false;  // an engine is attached that this user may not open
    EngineState state = EngineState::None;
    std::optional<std::string> productId;  // "0A-1B-2C-3D-4E-5F", read in the application only
    std::optional<uint8_t> current;
};

// The program's one window: the pages in a tab control, and a status bar that follows the
// engine's arrival and removal. All its device work, and its pages', runs on its link worker.
class CMainDlg : public QDialog {
    Q_OBJECT

    // First of all members: the pages post to it, and it must outlive them.
    LinkWorker worker_;

  public:
    // hotplug may be null (a platform without events); it is started in OnInitDialog and
    // stopped when the window goes.
    CMainDlg(PageContext& context, HotplugSource* hotplug, QWidget* parent = nullptr);
    ~CMainDlg() override;

    int DoModal();
    bool OnInitDialog();
    void OnSelchangeTab();
    void LayoutCurrentPage();
    void OnAbout();

    // Presence monitor. The checks run on the link worker; their results are shown when they
    // come back.
    void CheckDevice();
    void RefreshConnected(const QString& prefix, const EngineProbe& probe);
    // Returns true whatever it did, as the platform expects of the handler.
    bool OnDeviceChange(const HotplugEvent* record);

    LinkWorker& worker() { return worker_; }

    // Every way of closing the window ends here.
    void reject() override;
    void OnCancel();

    CTabCtrl* m_tab;
    CStatusBarCtrl* m_statusBar;
    CLedDlg m_ledPage;
    CSystemDlg m_systemPage;
    CFlipDlg m_flipPage;
    int m_curPage = 0;
    CPageDlg* m_pages[3] = {};
    QIcon m_hIcon;

  private:
    void FillTabs();
    // "Product ID: 0A-1B-2C-3D-4E-5F" in the current language.
    QString ProductIdText(const std::string& id) const;
    // The status texts of an engine that is not there.
    void ShowAbsent(const QString& prefix);
    void OnBusyChanged(bool busy);
    void OnUpgradeRunning(bool running);

    PageContext& context_;
    HotplugSource* hotplug_;
    std::unique_ptr<Ui::MainDlg> ui_;
    EnterEscapeFilter* keys_;
    // Hotplug notices, handed over from the source's thread.
    Mailbox notices_;
    // Shows the busy cursor once a request has taken longer than a glance.
    QTimer busyDelay_;
    // The no-permission message is shown once per arrival of the engine.
    bool permissionNoticeShown_ = false;
    bool closing_ = false;
};

}  // namespace kq
