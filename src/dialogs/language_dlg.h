#pragma once

#include "dialogs/views.h"

namespace kq {

class Settings;

// The first-run question for the language (IDC_LANGUAGE_LIST). OK stores the choice and puts it
// in force at once; Cancel, Escape and the close box store nothing. Its view reports the click
// of OK (IDOK); Cancel ends the dialog in the view alone.
class CLanguageDlg {
  public:
    explicit CLanguageDlg(Settings& settings) : settings_(settings) {}

    void Attach(DialogView* view) { view_ = view; }
    bool OnInitDialog();
    void OnOK();

  private:
    DialogView& View();

    Settings& settings_;
    DialogView* view_ = nullptr;
};

}  // namespace kq
