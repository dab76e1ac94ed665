#include "win32ui/page_views.h"

#include <commctrl.h>
#include <uxtheme.h>

#include "resource.h"

namespace kq::win32ui {
namespace {

void Call(const std::function<void()>& handler) {
    if (handler) handler();
}

}  // namespace

void PageView::OnInitDialog() {
    // The page takes the tab control's background where a theme gives it one.
    EnableThemeDialogTexture(hwnd(), ETDT_ENABLETAB);
    TranslateWindow();
}

void PageView::OnCommand(int, int, HWND) {}

bool PageView::PreTranslateMessage(MSG& message) {
    return IsEnterOrEscape(message);
}

LedPageView::LedPageView(Translator translate, Events events)
    : PageView(IDD_LED_DIALOG, std::move(translate)), events_(std::move(events)) {}

void LedPageView::OnInitDialog() {
    PageView::OnInitDialog();
    SetSliderRange(0, KQ_LED_CURRENT_MAX);
}

void LedPageView::SetSliderRange(int low, int high) {
    HWND slider = Item(IDC_CURRENT_SLIDER);
    SendMessageW(slider, TBM_SETRANGEMIN, FALSE, low);
    SendMessageW(slider, TBM_SETRANGEMAX, TRUE, high);
}

void LedPageView::SetSliderPos(int position) {
    SendMessageW(Item(IDC_CURRENT_SLIDER), TBM_SETPOS, TRUE, position);
}

int LedPageView::SliderPos() const {
    return static_cast<int>(SendMessageW(Item(IDC_CURRENT_SLIDER), TBM_GETPOS, 0, 0));
}

void LedPageView::EnableCurrentControls(bool enabled) {
    for (int id = IDC_CURRENT_SLIDER; id <= IDC_CURRENT_READ; ++id) Enable(id, enabled);
}

void LedPageView::FocusCurrentBox() {
    HWND box = Item(IDC_CURRENT_EDIT);
    SetFocus(box);
    SendMessageW(box, EM_SETSEL, 0, -1);
}

void LedPageView::OnCommand(int id, int code, HWND) {
    if (id == IDC_CURRENT_EDIT) {
        if (code == EN_CHANGE) Call(events_.onCurrentTextChange);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_LED_SWITCH:
            return Call(events_.onLedSwitch);
        case IDC_POWER_SWITCH:
            return Call(events_.onPowerSwitch);
        case IDC_CURRENT_WRITE:
            return Call(events_.onWrite);
        case IDC_CURRENT_READ:
            return Call(events_.onRead);
        default:
            return;
    }
}

LRESULT LedPageView::OnNotify(const NMHDR& header) {
    if (header.idFrom == IDC_CURRENT_SLIDER && header.code == NM_RELEASEDCAPTURE) {
        Call(events_.onSliderRelease);
    }
    return 0;
}

bool LedPageView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR&) {
    // A trackbar reports the user's moves only; TB_ENDTRACK repeats the last of them.
    if (message != WM_HSCROLL || reinterpret_cast<HWND>(lParam) != Item(IDC_CURRENT_SLIDER)) {
        return false;
    }
    if (LOWORD(wParam) != TB_ENDTRACK && events_.onSliderMoved) events_.onSliderMoved(SliderPos());
    return true;
}

bool LedPageView::PreTranslateMessage(MSG& message) {
    if (message.hwnd == Item(IDC_CURRENT_EDIT)) {
        if (message.message == WM_LBUTTONDOWN) Call(events_.onCurrentBoxPress);
        if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
            Call(events_.onCurrentEnter);
            return true;
        }
    }
    return PageView::PreTranslateMessage(message);
}

FlipPageView::FlipPageView(Translator translate, Events events)
    : PageView(IDD_FLIP_DIALOG, std::move(translate)), events_(std::move(events)) {}

void FlipPageView::OnCommand(int id, int code, HWND) {
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_FLIP_DO:
            return Call(events_.onFlipDo);
        case IDC_FLIP_X:
            if (events_.onFlipX) events_.onFlipX(IsChecked(IDC_FLIP_X));
            return;
        case IDC_FLIP_Y:
            if (events_.onFlipY) events_.onFlipY(IsChecked(IDC_FLIP_Y));
            return;
        default:
            return;
    }
}

SystemPageView::SystemPageView(Translator translate, Events events)
    : PageView(IDD_SYSTEM_DIALOG, std::move(translate)), events_(std::move(events)) {}

SystemPageView::~SystemPageView() {
    // The button lets go of the picture with the window.
    if (hwnd()) DestroyWindow(hwnd());
    if (browseBitmap_) DeleteObject(browseBitmap_);
}

void SystemPageView::OnInitDialog() {
    PageView::OnInitDialog();
    // The picture's light grey becomes the button face of the system's colours.
    browseBitmap_ =
        static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BROWSE),
                                        IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    SendMessageW(Item(IDC_BROWSE), BM_SETIMAGE, IMAGE_BITMAP,
                 reinterpret_cast<LPARAM>(browseBitmap_));
}

void SystemPageView::SetProgress(int percent) {
    SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

int SystemPageView::Progress() const {
    return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

void SystemPageView::OnCommand(int id, int code, HWND) {
    switch (id) {
        case IDC_FILE_NAME:
            if (code == EN_CHANGE) Call(events_.onFileNameChange);
            return;
        case IDC_LANGUAGE_COMBO:
            if (code == CBN_SELCHANGE && events_.onLanguageSelChange) {
                events_.onLanguageSelChange(ListSel(IDC_LANGUAGE_COMBO));
            }
            return;
        default:
            break;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_UPGRADE:
            return Call(events_.onUpgrade);
        case IDC_STOP:
            return Call(events_.onStop);
        case IDC_BROWSE:
            return Call(events_.onBrowse);
        case IDC_RESTART:
            return Call(events_.onRestart);
        default:
            return;
    }
}

}  // namespace kq::win32ui
