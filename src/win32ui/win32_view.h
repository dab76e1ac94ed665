#pragma once

// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <optional>
#include <string>
#include <string_view>

#include "dialogs/views.h"
#include "os/os.h"
#include "win32ui/dialog_window.h"
#include "win32ui/system_dialogs.h"

namespace kq::win32ui {

// A window of the templates as the view of a window's logic (Interface: kq::DialogView or one
// derived from it). The logic names controls by their resource ids; what an operation does
// follows from the control's class: a trackbar or progress bar takes positions, a combo box
// items, a button a check. Positions and selections set here are not reported back, as the
// controls do not notify of them; a text set into an edit box is (EN_CHANGE).
template <class Interface>
class View : public DialogWindow, public Interface {
  public:
    using DialogWindow::DialogWindow;

    void TranslateWindow() override { TranslateTexts(); }
    void SetTextKey(int id, std::string_view key) override { ShowKey(id, key); }
    void SetText(int id, const std::string& text) override { ShowData(id, text); }
    std::string GetText(int id) const override { return Text(id); }
    void SetEnabled(int id, bool enabled) override { Enable(id, enabled); }
    void SetChecked(int id, bool checked) override {
        SendMessageW(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    bool IsChecked(int id) const override {
        return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    void SetRange(int id, int low, int high) override {
        HWND control = Item(id);
        if (IsWindowClass(control, TRACKBAR_CLASSW)) {
            SendMessageW(control, TBM_SETRANGEMIN, FALSE, low);
            SendMessageW(control, TBM_SETRANGEMAX, TRUE, high);
        } else if (IsWindowClass(control, PROGRESS_CLASSW)) {
            SendMessageW(control, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
        }
    }
    void SetPosition(int id, int position) override {
        HWND control = Item(id);
        if (IsWindowClass(control, TRACKBAR_CLASSW)) {
            SendMessageW(control, TBM_SETPOS, TRUE, position);
        } else if (IsWindowClass(control, PROGRESS_CLASSW)) {
            SendMessageW(control, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        }
    }
    int GetPosition(int id) const override {
        HWND control = Item(id);
        if (IsWindowClass(control, TRACKBAR_CLASSW)) {
            return static_cast<int>(SendMessageW(control, TBM_GETPOS, 0, 0));
        }
        if (IsWindowClass(control, PROGRESS_CLASSW)) {
            return static_cast<int>(SendMessageW(control, PBM_GETPOS, 0, 0));
        }
        return 0;
    }
    void AddItem(int id, const std::string& text) override {
        SendMessageW(Item(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(os::Wide(text).c_str()));
    }
    void SetSelection(int id, int index) override {
        SendMessageW(Item(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    int GetSelection(int id) const override {
        HWND control = Item(id);
        return control ? static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0)) : -1;
    }
    // The dialog manager's way, so that the default button follows the focus.
    void SetFocus(int id) override {
        if (HWND control = Item(id)) {
            SendMessageW(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
        }
    }
    void SelectText(int id) override {
        SetFocus(id);
        SendMessageW(Item(id), EM_SETSEL, 0, -1);
    }
    void ShowMessage(const Message& message) override { win32ui::ShowMessage(hwnd(), message); }
    Answer Ask(const Question& question) override { return win32ui::Ask(hwnd(), question); }
    std::optional<std::string> ChooseFile(const FileChoice& choice) override {
        return win32ui::ChooseFile(hwnd(), choice);
    }
    void EndDialog(bool accepted) override { EndModal(accepted ? IDOK : IDCANCEL); }
};

}  // namespace kq::win32ui
