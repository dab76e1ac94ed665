#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "win32ui/dialog_view.h"

namespace kq::win32ui {

// A page of the main window's tab control: a child dialog on which neither Enter nor Escape
// closes or presses anything.
class PageView : public DialogView {
  public:
    using DialogView::DialogView;

  protected:
    void OnInitDialog() override;
    // Enter and Escape arrive at the dialog manager as IDOK and IDCANCEL: nothing to end here.
    void OnCommand(int id, int code, HWND control) override;
    bool PreTranslateMessage(MSG& message) override;
};

// The LED page (template 129): the power and LED switches, the LED current as a slider (1003)
// and a number box (1004) with Write and Read.
class LedPageView final : public PageView {
  public:
    struct Events {
        std::function<void()> onLedSwitch;
        std::function<void()> onPowerSwitch;
        std::function<void()> onWrite;
        std::function<void()> onRead;
        // Every change of box 1004's text, typed or set.
        std::function<void()> onCurrentTextChange;
        // Enter pressed in box 1004 (the key goes no further).
        std::function<void()> onCurrentEnter;
        // A left button press on box 1004, before the box sees it.
        std::function<void()> onCurrentBoxPress;
        // The user moved the slider (mouse, keys, wheel) to this position; positions the
        // program sets are not reported.
        std::function<void(int position)> onSliderMoved;
        // The slider let go of the mouse, at the end of a drag or a click.
        std::function<void()> onSliderRelease;
    };

    explicit LedPageView(Translator translate, Events events = {});

    void SetSliderRange(int low, int high);
    void SetSliderPos(int position);
    int SliderPos() const;
    // The four current controls (1003 to 1006), as one block.
    void EnableCurrentControls(bool enabled);
    // Box 1004 gets the focus with its text selected.
    void FocusCurrentBox();

  protected:
    void OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;
    LRESULT OnNotify(const NMHDR& header) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
    bool PreTranslateMessage(MSG& message) override;

  private:
    Events events_;
};

// The Flip page (template 135): the X and Y check boxes and the apply button.
class FlipPageView final : public PageView {
  public:
    struct Events {
        std::function<void()> onFlipDo;
        std::function<void(bool checked)> onFlipX;
        std::function<void(bool checked)> onFlipY;
    };

    explicit FlipPageView(Translator translate, Events events = {});

  protected:
    void OnCommand(int id, int code, HWND control) override;

  private:
    Events events_;
};

// The System page (template 133): the language list with its restart button, and the firmware
// upgrade's file name, browse button, Upgrade, Stop and progress bar.
class SystemPageView final : public PageView {
  public:
    struct Events {
        std::function<void()> onUpgrade;
        std::function<void()> onStop;
        std::function<void()> onBrowse;
        std::function<void()> onFileNameChange;
        // The user chose an entry of the language list (its index).
        std::function<void(int index)> onLanguageSelChange;
        std::function<void()> onRestart;
    };

    explicit SystemPageView(Translator translate, Events events = {});
    ~SystemPageView() override;

    // Progress bar 1028, 0 to 100.
    void SetProgress(int percent);
    int Progress() const;

  protected:
    void OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;

  private:
    Events events_;
    HBITMAP browseBitmap_ = nullptr;
};

}  // namespace kq::win32ui
