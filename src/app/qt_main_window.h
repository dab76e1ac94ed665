#pragma once

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <memory>

#include "devlink/platform.h"
#include "dialogs/main_dlg.h"
#include "pages/qt_flip_page.h"
#include "pages/qt_led_page.h"
#include "pages/qt_system_page.h"
#include "pages/qt_view.h"

namespace Ui {
class MainDlg;
}

namespace kq {

class CTabCtrl;
class CStatusBarCtrl;
class EnterEscapeFilter;

inline constexpr int kProgramIconSizes[] = {16, 32, 48, 64, 128};
// The program's icon in each of kProgramIconSizes, the taskbar's and the title bar's alike.
QIcon ProgramIcon();

// The main window's widgets over its logic, which it owns: the tab control with the three pages'
// widgets, the status bar, the about box, the busy cursor.
class QtMainWindow : public QtView<QDialog, MainView> {
    Q_OBJECT

    // First of all members: the pages' widgets attach to its pages, and it outlives them.
    CMainDlg logic_;
    QtUiWaker waker_;

  public:
    QtMainWindow(PageContext& context, QtServices& services, HotplugSource* hotplug,
                 QWidget* parent = nullptr);
    ~QtMainWindow() override;

    int DoModal();
    bool OnInitDialog();
    void OnAbout();

    CMainDlg& logic() { return logic_; }
    LinkWorker& worker() { return logic_.worker(); }
    // The widget of the page on tab index.
    QtPage* pageAt(int index);

    void reject() override;
    bool event(QEvent* event) override;

    // MainView
    void AddItem(int id, const std::string& text) override;
    void SetSelection(int id, int index) override;
    int GetSelection(int id) const override;
    void SetCaption(const std::string& text) override;
    void SetStatusParts(const std::vector<int>& rightEdges) override;
    void FitStatusPart(int part, const std::vector<std::string>& texts) override;
    void SetStatusText(int part, const std::string& text) override;
    std::string GetStatusText(int part) const override;
    void CreatePage(int templateId) override;
    void FitPage(int templateId) override;
    void LayoutPage(int templateId) override;
    void ShowPage(int templateId, bool shown) override;
    void EnablePage(int templateId, bool enabled) override;
    void ShowBusy(bool busy) override;
    void HideWindow() override;
    void EndDialog(bool accepted) override;

    CTabCtrl* m_tab;
    CStatusBarCtrl* m_statusBar = nullptr;
    QtLedPage ledPage;
    QtSystemPage systemPage;
    QtFlipPage flipPage;
    // Set after the first paint.
    QIcon m_hIcon;

  private:
    QtPage* Page(int templateId);

    std::unique_ptr<Ui::MainDlg> ui_;
    EnterEscapeFilter* keys_ = nullptr;
    bool iconQueued_ = false;
    // Shows the busy cursor once a request has taken longer than a glance.
    QTimer busyDelay_;
};

}  // namespace kq
