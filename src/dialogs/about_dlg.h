#pragma once

#include "dialogs/views.h"

namespace kq {

class Settings;

// The About box (template 100): its caption and texts are language keys, and IDC_ABOUT_VERSION
// names the version, the one `--version` prints. Its view reports nothing but its OK.
class CAboutDlg {
  public:
    explicit CAboutDlg(const Settings& settings) : settings_(settings) {}

    void Attach(DialogView* view) { view_ = view; }
    bool OnInitDialog();

  private:
    const Settings& settings_;
    DialogView* view_ = nullptr;
};

}  // namespace kq
