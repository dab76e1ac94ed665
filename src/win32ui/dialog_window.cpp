#include "win32ui/dialog_window.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "os/os.h"

namespace kq::win32ui {
namespace {

using os::Utf8;
using os::Wide;

// Which object a window belongs to, whatever its class; DWLP_USER would do for dialogs only.
constexpr wchar_t kViewProperty[] = L"kq7300.view";

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// Controls whose text is the user's or the program's data, never a key.
bool HoldsData(HWND control) {
    return IsWindowClass(control, WC_EDITW) || IsWindowClass(control, WC_COMBOBOXW) ||
           IsWindowClass(control, STATUSCLASSNAMEW);
}

// Controls that can give up width to a neighbour whose text needs it.
bool Stretches(HWND control) {
    return IsWindowClass(control, WC_EDITW) || IsWindowClass(control, WC_COMBOBOXW) ||
           IsWindowClass(control, TRACKBAR_CLASSW) || IsWindowClass(control, PROGRESS_CLASSW);
}

bool IsGroupBox(HWND control) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
    return IsWindowClass(control, WC_BUTTONW) && (style & BS_TYPEMASK) == BS_GROUPBOX;
}

// The width a control needs to show its text uncut, in pixels; 0 for one that shows no text
// of its own in a line (pictures, group boxes, lists, edit boxes, lines that wrap).
int TextNeed(HWND control, unsigned dpi) {
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
    int padding = 0;
    if (WrapsText(control)) return 0;
    if (IsWindowClass(control, WC_STATICW)) {
        const DWORD type = style & SS_TYPEMASK;
        if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_LEFTNOWORDWRAP &&
            type != SS_SIMPLE) {
            return 0;
        }
    } else if (IsWindowClass(control, WC_BUTTONW)) {
        if (style & (BS_BITMAP | BS_ICON)) return 0;
        switch (style & BS_TYPEMASK) {
            case BS_PUSHBUTTON:
            case BS_DEFPUSHBUTTON:
                padding = Scaled(6, dpi);
                break;
            case BS_CHECKBOX:
            case BS_AUTOCHECKBOX:
            case BS_3STATE:
            case BS_AUTO3STATE:
            case BS_RADIOBUTTON:
            case BS_AUTORADIOBUTTON:
                padding = GetSystemMetrics(SM_CXMENUCHECK) + Scaled(6, dpi);
                break;
            default:
                return 0;
        }
    } else {
        return 0;
    }
    const std::wstring text = Wide(WindowTextOf(control));
    if (text.empty()) return 0;
    HDC dc = GetDC(control);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT extent{};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent,
              DT_CALCRECT | DT_SINGLELINE | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return extent.right - extent.left + padding;
}

struct Placed {
    HWND control;
    RECT rect;  // in the parent's client area
};

bool SameRow(const RECT& a, const RECT& b) {
    return a.top < b.bottom && b.top < a.bottom;
}

}  // namespace

bool WrapsText(HWND control) {
    if (!IsWindowClass(control, WC_STATICW)) return false;
    const DWORD type = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE)) & SS_TYPEMASK;
    if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT) return false;
    HDC dc = GetDC(control);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    RECT r{};
    GetClientRect(control, &r);
    return r.bottom - r.top >= 2 * metrics.tmHeight;
}

void FitTexts(HWND parent) {
    const unsigned dpi = DpiOf(parent);
    std::vector<Placed> controls;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (IsGroupBox(child)) continue;
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        controls.push_back({child, r});
    }
    std::sort(controls.begin(), controls.end(),
              [](const Placed& a, const Placed& b) { return a.rect.left < b.rect.left; });
    const int gap = Scaled(2, dpi);
    for (size_t i = 0; i < controls.size(); ++i) {
        Placed& c = controls[i];
        const int need = TextNeed(c.control, dpi);
        if (need == 0) continue;
        // The nearest control to the right on the same row ends the room the text has.
        Placed* next = nullptr;
        for (size_t j = i + 1; j < controls.size(); ++j) {
            Placed& s = controls[j];
            if (s.rect.left > c.rect.left && SameRow(s.rect, c.rect) &&
                (!next || s.rect.left < next->rect.left)) {
                next = &s;
            }
        }
        const LONG limit = next ? std::min(c.rect.right, next->rect.left) : c.rect.right;
        if (limit - c.rect.left >= need) {
            // A label reaching under its neighbour would paint over it (siblings do not clip
            // each other): it ends where the neighbour starts.
            if (limit < c.rect.right) {
                c.rect.right = limit;
                SetWindowPos(c.control, nullptr, 0, 0, c.rect.right - c.rect.left,
                             c.rect.bottom - c.rect.top,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            continue;
        }
        c.rect.right = c.rect.left + need;
        SetWindowPos(c.control, nullptr, 0, 0, c.rect.right - c.rect.left,
                     c.rect.bottom - c.rect.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (!next) continue;
        const LONG shift = c.rect.left + need + gap - next->rect.left;
        if (shift <= 0) continue;
        // A slider, box or list gives up the width; anything else moves over, and so does
        // whatever follows it on the row.
        if (Stretches(next->control) && next->rect.right - next->rect.left > 2 * shift) {
            next->rect.left += shift;
        } else {
            for (Placed& s : controls) {
                if (s.rect.left >= next->rect.left && SameRow(s.rect, c.rect) &&
                    s.control != c.control) {
                    OffsetRect(&s.rect, shift, 0);
                }
            }
        }
        for (Placed& s : controls) {
            RECT placed{};
            GetWindowRect(s.control, &placed);
            MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&placed), 2);
            if (EqualRect(&placed, &s.rect)) continue;
            SetWindowPos(s.control, nullptr, s.rect.left, s.rect.top, s.rect.right - s.rect.left,
                         s.rect.bottom - s.rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
}

DialogWindow::DialogWindow(int templateId, Translator translate)
    : templateId_(templateId), translate_(std::move(translate)) {}

DialogWindow::~DialogWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
}

bool DialogWindow::Create(HWND parent) {
    if (hwnd_) return true;
    ended_ = false;
    // hwnd_ is set by WM_INITDIALOG, which runs inside this call.
    CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent,
                       &DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd_ != nullptr;
}

INT_PTR DialogWindow::DoModal(HWND owner) {
    if (!hwnd_ && !Create(owner)) return -1;
    ended_ = false;
    const bool disabledOwner = owner && IsWindowEnabled(owner);
    if (disabledOwner) EnableWindow(owner, FALSE);
    ShowWindow(hwnd_, SW_SHOW);
    MSG message;
    while (!ended_ && hwnd_) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            // WM_QUIT belongs to the loop outside this one, if any.
            if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        DispatchUiMessage(message);
    }
    // The owner first, so that the activation goes back to it.
    if (disabledOwner) EnableWindow(owner, TRUE);
    if (hwnd_) DestroyWindow(hwnd_);
    return result_;
}

void DialogWindow::EndModal(INT_PTR result) {
    result_ = result;
    ended_ = true;
}

void DialogWindow::TranslateTexts() {
    if (!captionKey_) captionKey_ = WindowTextOf(hwnd_);
    if (!captionKey_->empty()) ShowTextOf(hwnd_, Translate(*captionKey_));
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (HoldsData(child)) continue;
        const auto [entry, added] = keys_.try_emplace(child, WindowTextOf(child));
        if (entry->second) ShowTextOf(child, Translate(*entry->second));
    }
    FitTexts(hwnd_);
}

void DialogWindow::ShowKey(int id, std::string_view key) {
    if (id == 0) {
        captionKey_ = std::string(key);
        ShowTextOf(hwnd_, Translate(key));
        return;
    }
    SetKeyOf(Item(id), std::string(key));
}

void DialogWindow::ShowData(int id, std::string_view utf8) {
    HWND control = id == 0 ? hwnd_ : Item(id);
    if (!control) return;
    if (id == 0) {
        captionKey_ = std::string();
    } else {
        keys_[control] = std::nullopt;
    }
    ShowTextOf(control, utf8);
}

void DialogWindow::SetKeyOf(HWND control, std::optional<std::string> key) {
    if (!control) return;
    auto& entry = keys_[control];
    entry = std::move(key);
    if (entry) ShowTextOf(control, Translate(*entry));
}

void DialogWindow::ShowTextOf(HWND control, std::string_view utf8) {
    // Setting an unchanged text would only repaint (and report a change of an edit box).
    if (!control || WindowTextOf(control) == utf8) return;
    SetWindowTextW(control, Wide(utf8).c_str());
}

std::string DialogWindow::Text(int id) const {
    return WindowTextOf(id == 0 ? hwnd_ : Item(id));
}

void DialogWindow::Enable(int id, bool enabled) {
    HWND control = Item(id);
    if (!control) return;
    wanted_[control] = enabled;
    if (allEnabled_) EnableWindow(control, enabled ? TRUE : FALSE);
}

bool DialogWindow::IsEnabled(int id) const {
    HWND control = Item(id);
    return control && IsWindowEnabled(control);
}

void DialogWindow::EnableAll(bool enabled) {
    if (!hwnd_ || enabled == allEnabled_) return;
    allEnabled_ = enabled;
    for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!enabled) {
            wanted_.try_emplace(child, IsWindowEnabled(child) != FALSE);
            EnableWindow(child, FALSE);
        } else {
            const auto it = wanted_.find(child);
            EnableWindow(child, it == wanted_.end() || it->second ? TRUE : FALSE);
        }
    }
}

void DialogWindow::Show(bool visible) {
    if (hwnd_) ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE);
}

bool DialogWindow::IsVisible() const {
    return hwnd_ && IsWindowVisible(hwnd_);
}

void DialogWindow::Centre() {
    RECT window{};
    GetWindowRect(hwnd_, &window);
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner ? owner : hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    RECT around = work;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    LONG x = around.left + (around.right - around.left - width) / 2;
    LONG y = around.top + (around.bottom - around.top - height) / 2;
    x = std::max(work.left, std::min(x, work.right - width));
    y = std::max(work.top, std::min(y, work.bottom - height));
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

DialogWindow* DialogWindow::FromHandle(HWND window) {
    return window ? static_cast<DialogWindow*>(GetPropW(window, kViewProperty)) : nullptr;
}

void DialogWindow::OnCommand(int id, int, HWND) {
    if (id == IDOK || id == IDCANCEL) EndModal(id);
}

LRESULT DialogWindow::OnNotify(const NMHDR&) {
    return 0;
}

bool DialogWindow::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&) {
    return false;
}

bool DialogWindow::PreTranslateMessage(MSG&) {
    return false;
}

INT_PTR CALLBACK DialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DialogWindow* view = FromHandle(window);
    if (message == WM_INITDIALOG) {
        view = reinterpret_cast<DialogWindow*>(lParam);
        view->hwnd_ = window;
        SetPropW(window, kViewProperty, view);
    }
    if (!view) return FALSE;
    if (message == WM_NCDESTROY) {
        RemovePropW(window, kViewProperty);
        view->hwnd_ = nullptr;
        view->keys_.clear();
        view->captionKey_.reset();
        view->wanted_.clear();
        view->allEnabled_ = true;
        return FALSE;
    }
    return view->Handle(message, wParam, lParam);
}

INT_PTR DialogWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog() ? TRUE : FALSE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return TRUE;
        case WM_NOTIFY:
            SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT,
                              OnNotify(*reinterpret_cast<const NMHDR*>(lParam)));
            return TRUE;
        default: {
            INT_PTR result = 0;
            if (!OnMessage(message, wParam, lParam, result)) return FALSE;
            // The dialog manager takes these results from the return value, the rest from
            // DWLP_MSGRESULT.
            const bool direct = message == WM_CTLCOLORDLG || message == WM_CTLCOLORSTATIC ||
                                message == WM_CTLCOLORBTN || message == WM_CTLCOLOREDIT ||
                                message == WM_CTLCOLORLISTBOX || message == WM_QUERYDRAGICON;
            if (direct) return result;
            SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
}

bool IsEnterOrEscape(const MSG& message) {
    return message.message == WM_KEYDOWN &&
           (message.wParam == VK_RETURN || message.wParam == VK_ESCAPE);
}

bool DispatchUiMessage(MSG& message) {
    DialogWindow* top = nullptr;
    for (HWND w = message.hwnd; w; w = GetAncestor(w, GA_PARENT)) {
        DialogWindow* view = DialogWindow::FromHandle(w);
        if (!view) continue;
        if (view->PreTranslateMessage(message)) return false;
        top = view;
    }
    if (top && top->hwnd() && IsDialogMessageW(top->hwnd(), &message)) return true;
    TranslateMessage(&message);
    DispatchMessageW(&message);
    return true;
}

void PumpUiMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        DispatchUiMessage(message);
    }
}

bool IsWindowClass(HWND window, const wchar_t* name) {
    return window &&
           CompareStringOrdinal(ClassOf(window).c_str(), -1, name, -1, TRUE) == CSTR_EQUAL;
}

std::string WindowTextOf(HWND window) {
    if (!window) return {};
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return Utf8(text);
}

unsigned DpiOf(HWND window) {
    // Windows 10 1607 and later; earlier systems have one scale for all monitors.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && window) {
        if (const UINT dpi = getDpiForWindow(window)) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

int Scaled(int pixels, unsigned dpi) {
    return MulDiv(pixels, static_cast<int>(dpi), 96);
}

}  // namespace kq::win32ui
