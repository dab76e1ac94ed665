#pragma once

// Driving the Win32 views in-process, as a user would through the message loop.
// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "os/os.h"
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

// Answers the next dialog of the system's (a message box, a question, the file dialog) that
// this thread shows, from inside that dialog's own loop: answer gets the dialog once it is
// shown.
class DialogAnswer {
  public:
    explicit DialogAnswer(std::function<void(HWND dialog)> answer) {
        pending() = std::move(answer);
        timer_ = SetTimer(nullptr, 0, 50, &DialogAnswer::Look);
    }
    ~DialogAnswer() {
        KillTimer(nullptr, timer_);
        pending() = nullptr;
    }
    DialogAnswer(const DialogAnswer&) = delete;
    DialogAnswer& operator=(const DialogAnswer&) = delete;

    static std::vector<std::string> TextsOf(HWND dialog) {
        std::vector<std::string> texts;
        for (HWND c : Children(dialog)) texts.push_back(win32ui::WindowTextOf(c));
        return texts;
    }

  private:
    static std::function<void(HWND)>& pending() {
        static std::function<void(HWND)> answer;
        return answer;
    }
    static void CALLBACK Look(HWND, UINT, UINT_PTR, DWORD) {
        HWND shown = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND w, LPARAM found) {
                if (!IsWindowVisible(w) || ClassName(w) != "#32770" ||
                    win32ui::DialogView::FromHandle(w)) {
                    return TRUE;
                }
                *reinterpret_cast<HWND*>(found) = w;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&shown));
        if (!pending() || !shown) return;
        // Taken out first: the answer may run a loop of its own.
        std::function<void(HWND)> answer = std::exchange(pending(), nullptr);
        answer(shown);
    }

    UINT_PTR timer_ = 0;
};

}  // namespace kq::testing
