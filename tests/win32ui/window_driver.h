#pragma once

// Driving the Win32 views in-process, as a user would through the message loop.
// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <string>
#include <vector>

#include "l10n/os.h"
#include "l10n/settings.h"
#include "resource.h"
#include "win32ui/dialog_view.h"
#include "win32ui/main_view.h"

namespace kq::testing {

class FixedLocale final : public LocaleSource {
  public:
    explicit FixedLocale(unsigned language) : language_(language) {}
    unsigned SystemDefaultLanguage() const override { return language_; }

  private:
    unsigned language_;
};

inline void InitControls() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

// What a user's choice of a tab does: the selection changes, and the window is told.
inline void SelectTab(const win32ui::MainView& main, int tab) {
    HWND tabs = main.tabControl();
    SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(tab), 0);
    NMHDR header{tabs, static_cast<UINT_PTR>(IDC_TAB), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(main.hwnd(), WM_NOTIFY, IDC_TAB, reinterpret_cast<LPARAM>(&header));
}

// A key pressed and let go on a window, through the message loop (where Enter and Escape are
// filtered), then everything that follows from it.
inline void PressKey(HWND target, WPARAM key) {
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    win32ui::PumpUiMessages();
}

// A window's direct children in window order.
inline std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        children.push_back(c);
    }
    return children;
}

inline std::string ClassName(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return os::Utf8(name);
}

// The rectangle of a window in its parent's client area.
inline RECT RectInParent(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

}  // namespace kq::testing
