#pragma once

// Driving the Win32 windows in-process, as a user would through the message loop.
// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "os/os.h"
#include "res/resource.h"
#include "win32ui/dialog_window.h"
#include "win32ui/main_window.h"

namespace kq::test {

inline void InitControls() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

// Runs this thread's messages (the results of the device work among them) until done() holds;
// false when limit passed first. Sleeps while nothing arrives.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        win32ui::PumpUiMessages();
        if (done()) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return done();
        MsgWaitForMultipleObjectsEx(0, nullptr,
                                    static_cast<DWORD>(std::min<long long>(left.count(), 20)),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// The messages of a while, sleeping in between.
inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

// The window's device work done and its results shown.
inline bool Settle(win32ui::MainWindow& window) {
    return PumpUntil([&] { return !window.worker().busy(); });
}

// What a user's choice of a tab does: the selection changes, and the window is told.
inline void SelectTab(const win32ui::MainWindow& main, int tab) {
    HWND tabs = main.tabControl();
    SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(tab), 0);
    NMHDR header{tabs, static_cast<UINT_PTR>(IDC_TAB), static_cast<UINT>(TCN_SELCHANGE)};
    SendMessageW(main.hwnd(), WM_NOTIFY, IDC_TAB, reinterpret_cast<LPARAM>(&header));
}

inline std::string TabText(const win32ui::MainWindow& main, int tab) {
    wchar_t text[64] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(main.tabControl(), TCM_GETITEMW, static_cast<WPARAM>(tab),
                 reinterpret_cast<LPARAM>(&item));
    return os::Utf8(text);
}

// A click on a button, as the button reports it.
inline void Click(const win32ui::DialogWindow& window, int id) {
    SendMessageW(window.Item(id), BM_CLICK, 0, 0);
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

// The dialog of the system's (a message box, a question, the file dialog) this thread shows,
// if any: a visible dialog that is none of the program's own windows.
inline HWND SystemDialogShown() {
    HWND shown = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM found) {
            if (!IsWindowVisible(w) || ClassName(w) != "#32770" ||
                win32ui::DialogWindow::FromHandle(w)) {
                return TRUE;
            }
            *reinterpret_cast<HWND*>(found) = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&shown));
    return shown;
}

// Answers the next dialogs of the system's that this thread shows, from inside each dialog's
// own loop and in their order: each answer gets its dialog once it is shown. A series answers
// dialogs that follow each other faster than a test could set up the next answer.
class DialogAnswer {
  public:
    explicit DialogAnswer(std::function<void(HWND dialog)> answer)
        : DialogAnswer(std::vector<std::function<void(HWND)>>{std::move(answer)}) {}
    explicit DialogAnswer(std::vector<std::function<void(HWND dialog)>> answers) {
        pending().assign(answers.begin(), answers.end());
        last() = nullptr;
        timer_ = SetTimer(nullptr, 0, 50, &DialogAnswer::Look);
    }
    ~DialogAnswer() {
        KillTimer(nullptr, timer_);
        pending().clear();
    }
    DialogAnswer(const DialogAnswer&) = delete;
    DialogAnswer& operator=(const DialogAnswer&) = delete;

    // Every answer given.
    bool answered() const { return pending().empty(); }

    static std::vector<std::string> TextsOf(HWND dialog) {
        std::vector<std::string> texts;
        for (HWND c : Children(dialog)) texts.push_back(win32ui::WindowTextOf(c));
        return texts;
    }

  private:
    static std::deque<std::function<void(HWND)>>& pending() {
        static std::deque<std::function<void(HWND)>> answers;
        return answers;
    }
    // The dialog answered last, which may still show while it closes.
    static HWND& last() {
        static HWND dialog = nullptr;
        return dialog;
    }
    static void CALLBACK Look(HWND, UINT, UINT_PTR, DWORD) {
        HWND shown = SystemDialogShown();
        if (pending().empty() || !shown || shown == last()) return;
        // Taken out first: the answer may run a loop of its own.
        std::function<void(HWND)> answer = std::move(pending().front());
        pending().pop_front();
        last() = shown;
        answer(shown);
    }

    UINT_PTR timer_ = 0;
};

// A message box's title and its texts, then its OK: what an answered box leaves for the test.
struct SeenBox {
    HWND owner = nullptr;
    std::string title;
    std::vector<std::string> texts;
};
inline std::function<void(HWND)> PressOk(SeenBox& seen) {
    return [&seen](HWND box) {
        seen.owner = GetWindow(box, GW_OWNER);
        seen.title = win32ui::WindowTextOf(box);
        seen.texts = DialogAnswer::TextsOf(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    };
}

// Presses the button of a question that reads text; false when it has none.
inline bool PressButton(HWND dialog, const std::string& text) {
    for (HWND b : Children(dialog)) {
        if (win32ui::WindowTextOf(b) != text) continue;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(b), BN_CLICKED),
                     reinterpret_cast<LPARAM>(b));
        return true;
    }
    return false;
}

inline bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

}  // namespace kq::test
