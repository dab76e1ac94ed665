#pragma once

#include "dialogs/language_dlg.h"
#include "win32ui/win32_view.h"

namespace kq {
class Settings;
}

namespace kq::win32ui {

// The About box (template 100): the icon, the program's name and an OK button. Its texts are
// shown as the template has them.
class AboutView final : public DialogWindow {
  public:
    explicit AboutView(Translator translate);

  protected:
    bool OnInitDialog() override;
};

// The language question of the first start (template 139) over CLanguageDlg, which it owns:
// OK stores the choice; Cancel, Escape and the close box end it with nothing stored.
class LanguageDialog final : public View<DialogView> {
  public:
    explicit LanguageDialog(Settings& settings);
    ~LanguageDialog() override;

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code, HWND control) override;

  private:
    CLanguageDlg logic_;
};

}  // namespace kq::win32ui
