#include "win32ui/main_window.h"

// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>

#include "l10n/settings.h"
#include "os/os.h"
#include "win32ui/small_dialogs.h"

namespace kq::win32ui {
namespace {

// The system menu item of the About box: the identifier the main window has always answered.
constexpr UINT IDM_ABOUTBOX = 0x0010;
// Sent to itself after a change of scale, once the dialog manager has scaled the controls.
constexpr UINT WM_KQ_RELAYOUT = WM_APP + 1;
// Shows the busy cursor once a request has taken longer than a glance.
constexpr UINT_PTR kBusyTimer = 1;
constexpr UINT kBusyCursorDelayMs = 150;

// Where a page sits in the tab control, and the tab control's margins around it, in pixels at
// 100 %: the page at (8, 25), the tab control 16 wider and 33 taller.
constexpr int kPageLeft = 8;
constexpr int kPageTop = 25;
constexpr int kTabExtraWidth = 16;
constexpr int kTabExtraHeight = 33;

// The status bar's style: a child, visible, with the class bit 0x1000 the window has always used.
constexpr DWORD kStatusStyle = 0x50001000;

HICON LoadIconSized(int cx, int cy) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                         IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
}

// Whether the mouse is over the window or one of its children.
bool CursorOver(HWND window) {
    POINT at{};
    if (!GetCursorPos(&at)) return false;
    HWND under = WindowFromPoint(at);
    return under && GetAncestor(under, GA_ROOT) == window;
}

}  // namespace

MainWindow::MainWindow(PageContext& context, HotplugSource* hotplug)
    : View(IDD_KQ7300_DIALOG, TranslatorOf(context.settings)),
      logic_(context, hotplug),
      settings_(context.settings),
      waker_(logic_.ui()),
      ledPage(logic_.m_ledPage),
      systemPage(logic_.m_systemPage),
      flipPage(logic_.m_flipPage) {
    logic_.Attach(this);
}

// The logic ends its device work while the pages' views still exist; then the windows go,
// the pages' before the main window's, and the views after them.
MainWindow::~MainWindow() {
    logic_.Shutdown();
    logic_.Attach(nullptr);
    if (hwnd()) DestroyWindow(hwnd());
    if (bigIcon_) DestroyIcon(bigIcon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
}

bool MainWindow::OnInitDialog() {
    if (HMENU menu = GetSystemMenu(hwnd(), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, os::Wide(Translate("About.Title")).c_str());
    }
    bigIcon_ = LoadIconSized(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    smallIcon_ = LoadIconSized(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
    SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    logic_.OnInitDialog();
    Centre();
    // The tabs take the focus: the first page's buttons are off while the first device check
    // runs, and the dialog manager would pass them by.
    ::SetFocus(tabControl());
    return false;
}

int MainWindow::TabCount() const {
    return static_cast<int>(SendMessageW(tabControl(), TCM_GETITEMCOUNT, 0, 0));
}

DialogWindow* MainWindow::PageAt(int index) {
    if (index < 0 || index >= logic_.tabCount()) return nullptr;
    return Page(logic_.m_pages[index]->templateId());
}

DialogWindow* MainWindow::Page(int templateId) {
    switch (templateId) {
        case IDD_LED_DIALOG:
            return &ledPage;
        case IDD_SYSTEM_DIALOG:
            return &systemPage;
        case IDD_FLIP_DIALOG:
            return &flipPage;
        default:
            return nullptr;
    }
}

void MainWindow::AddItem(int id, const std::string& text) {
    if (id != IDC_TAB) return View::AddItem(id, text);
    std::wstring title = os::Wide(text);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title.data();
    SendMessageW(tabControl(), TCM_INSERTITEMW, static_cast<WPARAM>(TabCount()),
                 reinterpret_cast<LPARAM>(&item));
}

void MainWindow::SetSelection(int id, int index) {
    if (id != IDC_TAB) return View::SetSelection(id, index);
    SendMessageW(tabControl(), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int MainWindow::GetSelection(int id) const {
    if (id != IDC_TAB) return View::GetSelection(id);
    return static_cast<int>(SendMessageW(tabControl(), TCM_GETCURSEL, 0, 0));
}

void MainWindow::SetCaption(const std::string& text) {
    ShowData(0, text);
}

void MainWindow::SetStatusParts(const std::vector<int>& rightEdges) {
    if (!statusBar_) {
        statusBar_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", kStatusStyle, 0, 0, 0, 0, hwnd(),
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    rightEdges_ = rightEdges;
    fitTexts_.resize(rightEdges_.size());
    ApplyStatusParts();
}

void MainWindow::FitStatusPart(int part, const std::vector<std::string>& texts) {
    if (part < 0 || static_cast<size_t>(part) >= fitTexts_.size()) return;
    fitTexts_[static_cast<size_t>(part)] = texts;
    ApplyStatusParts();
}

// The parts' widths at the window's scale, each widened where a text it will show needs more.
void MainWindow::ApplyStatusParts() {
    if (!statusBar_ || rightEdges_.empty()) return;
    const unsigned dpi = DpiOf(hwnd());
    HDC dc = GetDC(statusBar_);
    auto font = reinterpret_cast<HFONT>(SendMessageW(statusBar_, WM_GETFONT, 0, 0));
    if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const HGDIOBJ old = SelectObject(dc, font);
    int borders[3] = {};
    SendMessageW(statusBar_, SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders));
    std::vector<int> parts;
    int left = 0;
    int templateLeft = 0;
    for (size_t i = 0; i < rightEdges_.size(); ++i) {
        if (rightEdges_[i] < 0) {
            parts.push_back(-1);
            break;
        }
        int width = Scaled(rightEdges_[i] - templateLeft, dpi);
        templateLeft = rightEdges_[i];
        for (const std::string& text : fitTexts_[i]) {
            const std::wstring wide = os::Wide(text);
            SIZE size{};
            GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
            // The text starts a few pixels into the part, which ends in a separator.
            width = std::max(width, static_cast<int>(size.cx) + 2 * borders[0] +
                                        Scaled(2 * 4, dpi) + borders[2]);
        }
        left += width;
        parts.push_back(left);
    }
    SelectObject(dc, old);
    ReleaseDC(statusBar_, dc);
    SendMessageW(statusBar_, SB_SETPARTS, parts.size(), reinterpret_cast<LPARAM>(parts.data()));
}

void MainWindow::SetStatusText(int part, const std::string& text) {
    SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(os::Wide(text).c_str()));
}

std::string MainWindow::GetStatusText(int part) const {
    if (!statusBar_) return {};
    const auto length =
        LOWORD(SendMessageW(statusBar_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(statusBar_, SB_GETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return os::Utf8(text);
}

void MainWindow::CreatePage(int templateId) {
    if (DialogWindow* page = Page(templateId)) page->Create(tabControl());
}

void MainWindow::LayoutPage(int templateId) {
    DialogWindow* page = Page(templateId);
    if (!page || !page->hwnd()) return;
    laidOut_ = templateId;
    const unsigned dpi = DpiOf(hwnd());
    RECT client{};
    GetClientRect(page->hwnd(), &client);
    const int pw = client.right;
    const int ph = client.bottom;
    constexpr UINT kKeep = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(page->hwnd(), nullptr, Scaled(kPageLeft, dpi), Scaled(kPageTop, dpi), pw, ph,
                 kKeep);
    const int tabWidth = pw + Scaled(kTabExtraWidth, dpi);
    const int tabHeight = ph + Scaled(kTabExtraHeight, dpi);
    SetWindowPos(tabControl(), nullptr, 0, 0, tabWidth, tabHeight, kKeep);

    // The client area holds the tab control and the status bar below it; the frame around it
    // is the system's.
    RECT status{};
    GetWindowRect(statusBar_, &status);
    RECT outer{0, 0, tabWidth, tabHeight + (status.bottom - status.top)};
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd(), GWL_EXSTYLE));
    AdjustWindowRectEx(&outer, style, FALSE, exStyle);
    SetWindowPos(hwnd(), nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 kKeep | SWP_NOMOVE);
    // A status bar puts itself along its parent's bottom edge when told of a size.
    SendMessageW(statusBar_, WM_SIZE, 0, 0);
    InvalidateRect(hwnd(), nullptr, TRUE);
}

void MainWindow::ShowPage(int templateId, bool shown) {
    if (DialogWindow* page = Page(templateId)) page->Show(shown);
}

void MainWindow::EnablePage(int templateId, bool enabled) {
    if (DialogWindow* page = Page(templateId)) page->EnableAll(enabled);
}

void MainWindow::ShowBusy(bool busy) {
    if (!hwnd()) return;
    if (busy) {
        SetTimer(hwnd(), kBusyTimer, kBusyCursorDelayMs, nullptr);
        return;
    }
    KillTimer(hwnd(), kBusyTimer);
    if (!busyShown_) return;
    busyShown_ = false;
    if (CursorOver(hwnd())) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
}

void MainWindow::HideWindow() {
    Show(false);
}

void MainWindow::OnAbout() {
    AboutView about(settings_);
    about.DoModal(hwnd());
}

void MainWindow::OnCommand(int id, int, HWND) {
    // The dialog manager turns every close request into IDCANCEL; IDOK closes nothing here.
    if (id == IDCANCEL) logic_.OnCancel();
}

LRESULT MainWindow::OnNotify(const NMHDR& header) {
    // Only the user's choice is reported: a selection the program makes sends nothing.
    if (header.idFrom == IDC_TAB && header.code == TCN_SELCHANGE) logic_.OnSelchangeTab();
    return 0;
}

bool MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;
            OnAbout();
            return true;
        case WM_HELP:
            OnAbout();
            result = TRUE;
            return true;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<INT_PTR>(bigIcon_);
            return true;
        case WM_TIMER:
            if (wParam != kBusyTimer) return false;
            KillTimer(hwnd(), kBusyTimer);
            busyShown_ = true;
            if (CursorOver(hwnd())) SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
            return true;
        case WM_SETCURSOR:
            // Over the client areas of the window and its children: they ask their parents
            // first.
            if (!busyShown_ || LOWORD(lParam) != HTCLIENT) return false;
            SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
            result = TRUE;
            return true;
        case WM_SIZE:
            if (statusBar_) SendMessageW(statusBar_, WM_SIZE, 0, 0);
            return true;
        case WM_DPICHANGED:
            // The dialog manager scales the window, its pages and their fonts first.
            PostMessageW(hwnd(), WM_KQ_RELAYOUT, 0, 0);
            return false;
        case WM_KQ_RELAYOUT:
            ApplyStatusParts();
            if (laidOut_) LayoutPage(laidOut_);
            return true;
        default:
            return false;
    }
}

bool MainWindow::PreTranslateMessage(MSG& message) {
    return IsEnterOrEscape(message);
}

}  // namespace kq::win32ui
