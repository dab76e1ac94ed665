#pragma once

#include <functional>

#include "win32ui/dialog_view.h"

namespace kq::win32ui {

// The About box (template 100): the icon, the program's name and an OK button. Its texts are
// shown as the template has them.
class AboutView final : public DialogView {
  public:
    explicit AboutView(Translator translate);

  protected:
    void OnInitDialog() override;
};

// The language question of the first start (template 139): one list of the languages. OK
// reports the chosen entry and ends the dialog; Cancel, Escape and the close box end it with
// nothing reported.
class LanguageView final : public DialogView {
  public:
    struct Events {
        // The entry selected when OK was pressed; -1 for none.
        std::function<void(int index)> onOK;
    };

    explicit LanguageView(Translator translate, Events events = {});

  protected:
    void OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;

  private:
    Events events_;
};

}  // namespace kq::win32ui
