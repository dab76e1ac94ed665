#pragma once

// uxtheme.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <uxtheme.h>
// clang-format on

#include "dialogs/flip_dlg.h"
#include "dialogs/led_dlg.h"
#include "dialogs/system_dlg.h"
#include "win32ui/win32_view.h"

namespace kq::win32ui {

// Texts in the language of these settings.
Translator TranslatorOf(const Settings& settings);
// The translation of a page's texts, from the settings the page's logic has.
Translator TranslatorOf(CPageDlg& logic);

// A page of the main window's tab control: a child dialog on which neither Enter nor Escape
// closes or presses anything. Its logic initialises it (the main window runs the logic's
// OnInitDialog after creating the window, and on every selection of its tab).
template <class Interface>
class PageView : public View<Interface> {
  public:
    using View<Interface>::View;

  protected:
    // The page takes the tab control's background where a theme gives it one.
    bool OnInitDialog() override {
        EnableThemeDialogTexture(this->hwnd(), ETDT_ENABLETAB);
        return true;
    }
    // Enter and Escape arrive at the dialog manager as IDOK and IDCANCEL: nothing to end here.
    void OnCommand(int, int, HWND) override {}
    bool PreTranslateMessage(MSG& message) override { return IsEnterOrEscape(message); }
};

// The LED page (template 129) over CLedDlg.
class LedPageView final : public PageView<DialogView> {
  public:
    explicit LedPageView(CLedDlg& logic);
    ~LedPageView() override;

    CLedDlg& logic() { return logic_; }

  protected:
    void OnCommand(int id, int code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    bool PreTranslateMessage(MSG& message) override;

  private:
    CLedDlg& logic_;
};

// The Flip page (template 135) over CFlipDlg.
class FlipPageView final : public PageView<DialogView> {
  public:
    explicit FlipPageView(CFlipDlg& logic);
    ~FlipPageView() override;

  protected:
    void OnCommand(int id, int code, HWND control) override;

  private:
    CFlipDlg& logic_;
};

// The System page (template 133) over CSystemDlg.
class SystemPageView final : public PageView<SystemView> {
  public:
    explicit SystemPageView(CSystemDlg& logic);
    ~SystemPageView() override;

    void SetButtonImage(int id, int bitmapId) override;
    bool CloseMainWindow() override;

  protected:
    void OnCommand(int id, int code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

  private:
    CSystemDlg& logic_;
    HBITMAP browseBitmap_ = nullptr;
};

}  // namespace kq::win32ui
