#include "win32ui/page_views.h"

#include "l10n/settings.h"
#include "res/resource.h"

namespace kq::win32ui {

Translator TranslatorOf(const Settings& settings) {
    return [&settings](std::string_view key) { return settings.Translate(key); };
}

Translator TranslatorOf(CPageDlg& logic) {
    return TranslatorOf(logic.context().settings);
}

LedPageView::LedPageView(CLedDlg& logic)
    : PageView(IDD_LED_DIALOG, TranslatorOf(logic)), logic_(logic) {
    logic_.Attach(this);
}

LedPageView::~LedPageView() {
    logic_.Attach(nullptr);
    if (hwnd()) DestroyWindow(hwnd());
}

void LedPageView::OnCommand(int id, int code, HWND) {
    if (id == IDC_CURRENT_EDIT) {
        // Typed or set: the logic hears of every change, as of typing.
        if (code == EN_CHANGE) logic_.OnCurrentTextChange();
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_LED_SWITCH:
            return logic_.OnLedSwitch();
        case IDC_POWER_SWITCH:
            return logic_.OnPowerSwitch();
        case IDC_CURRENT_WRITE:
            return logic_.OnWrite();
        case IDC_CURRENT_READ:
            return logic_.OnRead();
        default:
            return;
    }
}

bool LedPageView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR&) {
    // A trackbar reports the user's moves only (mouse, keys, wheel); TB_ENDTRACK repeats the
    // last of them.
    HWND slider = Item(IDC_CURRENT_SLIDER);
    if (message != WM_HSCROLL || reinterpret_cast<HWND>(lParam) != slider) return false;
    if (LOWORD(wParam) != TB_ENDTRACK) logic_.OnSliderMoved(GetPosition(IDC_CURRENT_SLIDER));
    return true;
}

bool LedPageView::PreTranslateMessage(MSG& message) {
    if (message.hwnd == Item(IDC_CURRENT_EDIT)) {
        // Before the box places its caret.
        if (message.message == WM_LBUTTONDOWN) logic_.OnCurrentBoxPressed();
        // Enter in the box checks the number instead of being swallowed with the page's others.
        if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
            logic_.OnCurrentEnter();
            return true;
        }
    }
    return PageView::PreTranslateMessage(message);
}

FlipPageView::FlipPageView(CFlipDlg& logic)
    : PageView(IDD_FLIP_DIALOG, TranslatorOf(logic)), logic_(logic) {
    logic_.Attach(this);
}

FlipPageView::~FlipPageView() {
    logic_.Attach(nullptr);
    if (hwnd()) DestroyWindow(hwnd());
}

void FlipPageView::OnCommand(int id, int code, HWND) {
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_FLIP_DO:
            return logic_.OnFlipDo();
        case IDC_FLIP_X:
            return logic_.OnFlipX();
        case IDC_FLIP_Y:
            return logic_.OnFlipY();
        default:
            return;
    }
}

SystemPageView::SystemPageView(CSystemDlg& logic)
    : PageView(IDD_SYSTEM_DIALOG, TranslatorOf(logic)), logic_(logic) {
    logic_.Attach(this);
}

SystemPageView::~SystemPageView() {
    logic_.Attach(nullptr);
    // The button lets go of the picture with the window.
    if (hwnd()) DestroyWindow(hwnd());
    if (browseBitmap_) DeleteObject(browseBitmap_);
}

void SystemPageView::SetButtonImage(int id, int bitmapId) {
    HWND button = Item(id);
    if (!button) return;
    // The picture's light grey becomes the button face of the system's colours.
    const auto bitmap =
        static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(bitmapId),
                                        IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
    if (!bitmap) return;
    SendMessageW(button, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    if (browseBitmap_) DeleteObject(browseBitmap_);
    browseBitmap_ = bitmap;
    SetKeyOf(button, std::nullopt);  // the picture, not the "...." behind it
}

// Later, through the main window's own close path: a posted close, as a user's.
bool SystemPageView::CloseMainWindow() {
    HWND main = hwnd() ? GetAncestor(hwnd(), GA_ROOT) : nullptr;
    if (!main || main == hwnd()) return false;
    return PostMessageW(main, WM_CLOSE, 0, 0) != FALSE;
}

void SystemPageView::OnCommand(int id, int code, HWND) {
    switch (id) {
        case IDC_FILE_NAME:
            if (code == EN_CHANGE) logic_.OnFileNameChange();
            return;
        case IDC_LANGUAGE_COMBO:
            // The user's choice only: a selection the program sets is not reported.
            if (code == CBN_SELCHANGE) logic_.OnLanguageSelChange();
            return;
        default:
            break;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_UPGRADE:
            return logic_.OnUpgrade();
        case IDC_STOP:
            return logic_.OnStop();
        case IDC_BROWSE:
            return logic_.OnBrowse();
        case IDC_RESTART:
            return logic_.OnRestart();
        default:
            return;
    }
}

bool SystemPageView::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) {
    // The page stays while its upgrade runs.
    if (message != WM_CLOSE || logic_.OnClose()) return false;
    result = 0;
    return true;
}

}  // namespace kq::win32ui
