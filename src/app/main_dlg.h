#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>

#include "devlink/platform.h"
#include "pages/flip_dlg.h"
#include "pages/led_dlg.h"
#include "pages/system_dlg.h"

namespace Ui {
class MainDlg;
}

namespace kq {

class CTabCtrl;
class CStatusBarCtrl;
class EnterEscapeFilter;

// The program's one window: the pages in a tab control, and a status bar that follows the
// engine's arrival and removal.
class CMainDlg : public QDialog {
    Q_OBJECT

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

    // Presence monitor.
    void CheckDevice();
    void RefreshConnected(const QString& prefix);
    // Returns true whatever it did, as the platform expects of the handler.
    bool OnDeviceChange(const HotplugEvent* record);

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

    PageContext& context_;
    HotplugSource* hotplug_;
    std::unique_ptr<Ui::MainDlg> ui_;
    EnterEscapeFilter* keys_;
};

}  // namespace kq
