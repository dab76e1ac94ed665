#pragma once

#include "dialogs/about_dlg.h"
#include "dialogs/language_dlg.h"
#include "win32ui/win32_view.h"

namespace kq {
class Settings;
}

namespace kq::win32ui {

// The About box (template 100) over CAboutDlg, which it owns: the icon, the program's name and
// version, what it is for, and an OK button, in the window's language.
class AboutView final : public View<DialogView> {
  public:
    explicit AboutView(const Settings& settings);
    ~AboutView() override;

  protected:
    bool OnInitDialog() override;

  private:
    CAboutDlg logic_;
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
