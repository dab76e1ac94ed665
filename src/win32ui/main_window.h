#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "win32ui/dialog_view.h"

namespace kq::win32ui {

// The main window (template 102): the tab control holding the pages, and the two-part status
// bar below it. The window sizes itself around the page shown.
class MainView final : public DialogView {
  public:
    struct Events {
        // The user chose another tab (its index); the window still shows the page before.
        std::function<void(int tab)> onSelChange;
        // Every way of closing: the close box, Alt+F4, the system menu, WM_CLOSE.
        std::function<void()> onClose;
        // The system menu's About item, or F1.
        std::function<void()> onAbout;
        // WM_DEVICECHANGE, as the system sends it (the record may be null).
        std::function<void(WPARAM event, LPARAM record)> onDeviceChange;
        // The window and its status bar exist, before the window is first shown: the time to
        // create the pages and fill the tabs.
        std::function<void()> onInitDialog;
    };

    explicit MainView(Translator translate, Events events = {});
    ~MainView() override;

    // The parent the pages are created with.
    HWND tabControl() const;
    HWND statusBar() const { return statusBar_; }

    // Adds a tab at the end with the translation of titleKey, showing page (a child window of
    // tabControl()); the page starts hidden.
    void AddTab(std::string_view titleKey, DialogView& page);
    int TabCount() const;
    int CurrentTab() const { return current_; }
    DialogView* PageOf(int tab) const;

    // Hides the page shown so far, selects the tab, moves its page to the tab control's body,
    // fits the tab control around it and the window around both, and shows it. The window's
    // top-left corner stays where it is.
    void ShowPage(int tab);

    // Status bar part 0 or 1.
    void SetStatusText(int part, std::string_view utf8);
    std::string StatusText(int part) const;
    // Widens part 0 (120 pixels at 100 %) where one of the texts it will show needs more.
    void FitStatusPart(const std::vector<std::string>& texts);

  protected:
    void OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    LRESULT OnNotify(const NMHDR& header) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    bool PreTranslateMessage(MSG& message) override;

  private:
    void LayoutCurrentPage();
    void SetStatusParts();

    Events events_;
    HWND statusBar_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    std::vector<DialogView*> pages_;
    int current_ = 0;
    std::vector<std::string> part0Texts_;  // what part 0 must have room for
};

}  // namespace kq::win32ui
