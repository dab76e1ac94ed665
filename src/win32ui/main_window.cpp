#include "win32ui/main_view.h"

#include <commctrl.h>

#include <algorithm>

#include "os/os.h"
#include "resource.h"

namespace kq::win32ui {
namespace {

// The system menu item of the About box: the identifier the main window has always answered.
constexpr UINT IDM_ABOUTBOX = 0x0010;
// Sent to itself after a change of scale, once the dialog manager has scaled the controls.
constexpr UINT WM_KQ_RELAYOUT = WM_APP + 1;

// Where a page sits in the tab control, and the tab control's margins around it, in pixels at
// 100 %: the page at (8, 25), the tab control 16 wider and 33 taller.
constexpr int kPageLeft = 8;
constexpr int kPageTop = 25;
constexpr int kTabExtraWidth = 16;
constexpr int kTabExtraHeight = 33;
constexpr int kStatusPart0 = 120;

// The status bar's style: a child, visible, with the class bit 0x1000 the window has always used.
constexpr DWORD kStatusStyle = 0x50001000;

HICON LoadIconSized(int cx, int cy) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                         IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
}

}  // namespace

MainView::MainView(Translator translate, Events events)
    : DialogView(IDD_KQ7300_DIALOG, std::move(translate)), events_(std::move(events)) {}

MainView::~MainView() {
    // The window goes before its icons.
    if (hwnd()) DestroyWindow(hwnd());
    if (bigIcon_) DestroyIcon(bigIcon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
}

HWND MainView::tabControl() const {
    return Item(IDC_TAB);
}

void MainView::OnInitDialog() {
    TranslateWindow();

    if (HMENU menu = GetSystemMenu(hwnd(), FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, os::Wide(Translate("About.Title")).c_str());
    }

    bigIcon_ = LoadIconSized(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    smallIcon_ = LoadIconSized(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
    SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    statusBar_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", kStatusStyle, 0, 0, 0, 0, hwnd(),
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    SetStatusParts();
    if (events_.onInitDialog) events_.onInitDialog();
}

void MainView::AddTab(std::string_view titleKey, DialogView& page) {
    std::wstring title = os::Wide(Translate(titleKey));
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title.data();
    const int index = TabCount();
    SendMessageW(tabControl(), TCM_INSERTITEMW, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
    pages_.push_back(&page);
    page.Show(false);
}

int MainView::TabCount() const {
    return static_cast<int>(SendMessageW(tabControl(), TCM_GETITEMCOUNT, 0, 0));
}

DialogView* MainView::PageOf(int tab) const {
    return tab >= 0 && tab < static_cast<int>(pages_.size()) ? pages_[static_cast<size_t>(tab)]
                                                             : nullptr;
}

void MainView::ShowPage(int tab) {
    DialogView* page = PageOf(tab);
    if (!page) return;
    if (DialogView* before = PageOf(current_); before && before != page) before->Show(false);
    current_ = tab;
    SendMessageW(tabControl(), TCM_SETCURSEL, static_cast<WPARAM>(tab), 0);
    LayoutCurrentPage();
    page->Show(true);
}

void MainView::LayoutCurrentPage() {
    DialogView* page = PageOf(current_);
    if (!page) return;
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

void MainView::SetStatusText(int part, std::string_view utf8) {
    SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(os::Wide(utf8).c_str()));
}

std::string MainView::StatusText(int part) const {
    const auto length =
        LOWORD(SendMessageW(statusBar_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(statusBar_, SB_GETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return os::Utf8(text);
}

void MainView::FitStatusPart(const std::vector<std::string>& texts) {
    part0Texts_ = texts;
    SetStatusParts();
}

void MainView::SetStatusParts() {
    const unsigned dpi = DpiOf(hwnd());
    int width = Scaled(kStatusPart0, dpi);
    if (!part0Texts_.empty()) {
        HDC dc = GetDC(statusBar_);
        auto font = reinterpret_cast<HFONT>(SendMessageW(statusBar_, WM_GETFONT, 0, 0));
        if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        const HGDIOBJ old = SelectObject(dc, font);
        int borders[3] = {};
        SendMessageW(statusBar_, SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders));
        for (const std::string& text : part0Texts_) {
            const std::wstring wide = os::Wide(text);
            SIZE size{};
            GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
            // The text starts a few pixels into the part, which ends in a separator.
            width = std::max(width, static_cast<int>(size.cx) + 2 * borders[0] +
                                        Scaled(2 * 4, dpi) + borders[2]);
        }
        SelectObject(dc, old);
        ReleaseDC(statusBar_, dc);
    }
    int parts[2] = {width, -1};
    SendMessageW(statusBar_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void MainView::OnCommand(int id, int, HWND) {
    // The dialog manager turns every close request into IDCANCEL; IDOK closes nothing here.
    if (id == IDCANCEL && events_.onClose) events_.onClose();
}

LRESULT MainView::OnNotify(const NMHDR& header) {
    if (header.idFrom == IDC_TAB && header.code == TCN_SELCHANGE && events_.onSelChange) {
        events_.onSelChange(static_cast<int>(SendMessageW(tabControl(), TCM_GETCURSEL, 0, 0)));
    }
    return 0;
}

bool MainView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;
            if (events_.onAbout) events_.onAbout();
            return true;
        case WM_HELP:
            if (events_.onAbout) events_.onAbout();
            result = TRUE;
            return true;
        case WM_DEVICECHANGE:
            if (events_.onDeviceChange) events_.onDeviceChange(wParam, lParam);
            result = TRUE;
            return true;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<INT_PTR>(bigIcon_);
            return true;
        case WM_SIZE:
            if (statusBar_) SendMessageW(statusBar_, WM_SIZE, 0, 0);
            return true;
        case WM_DPICHANGED:
            // The dialog manager scales the window, its pages and their fonts first.
            PostMessageW(hwnd(), WM_KQ_RELAYOUT, 0, 0);
            return false;
        case WM_KQ_RELAYOUT:
            SetStatusParts();
            LayoutCurrentPage();
            return true;
        default:
            return false;
    }
}

bool MainView::PreTranslateMessage(MSG& message) {
    return IsEnterOrEscape(message);
}

}  // namespace kq::win32ui
