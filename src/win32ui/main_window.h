#pragma once

#include <string>
#include <vector>

#include "devlink/platform.h"
#include "dialogs/main_dlg.h"
#include "res/resource.h"
#include "win32ui/page_views.h"
#include "win32ui/ui_waker.h"
#include "win32ui/win32_view.h"

namespace kq::win32ui {

// The main window (template 102) over its logic, which it owns: the tab control holding the
// pages, the two-part status bar below it, the About box and the busy cursor. The window sizes
// itself around the page shown. Its logic initialises it while the window is created
// (WM_INITDIALOG), before it is first shown.
class MainWindow final : public View<kq::MainView> {
    // First of all members: the pages' views attach to its pages, and it outlives them.
    CMainDlg logic_;
    const Settings& settings_;
    UiWaker waker_;

  public:
    // hotplug may be null (no arrivals and removals).
    MainWindow(PageContext& context, HotplugSource* hotplug);
    ~MainWindow() override;

    CMainDlg& logic() { return logic_; }
    LinkWorker& worker() { return logic_.worker(); }
    HWND tabControl() const { return Item(IDC_TAB); }
    HWND statusBar() const { return statusBar_; }
    int TabCount() const;
    // The view of the page on tab index; null when there is no such tab.
    DialogWindow* PageAt(int index);
    // Whether the busy cursor shows (a request has taken longer than a glance).
    bool busyCursorShown() const { return busyShown_; }

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
    void LayoutPage(int templateId) override;
    void ShowPage(int templateId, bool shown) override;
    void EnablePage(int templateId, bool enabled) override;
    void ShowBusy(bool busy) override;
    void HideWindow() override;

    LedPageView ledPage;
    SystemPageView systemPage;
    FlipPageView flipPage;

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    LRESULT OnNotify(const NMHDR& header) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    bool PreTranslateMessage(MSG& message) override;

  private:
    DialogWindow* Page(int templateId);
    void ApplyStatusParts();
    void OnAbout();

    HWND statusBar_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    int laidOut_ = 0;  // the template id of the page the window is sized around
    std::vector<int> rightEdges_;
    std::vector<std::vector<std::string>> fitTexts_;  // per part: what it must have room for
    bool busyShown_ = false;
};

}  // namespace kq::win32ui
