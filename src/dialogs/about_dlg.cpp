#include "dialogs/about_dlg.h"

#include <kq_version.h>

#include "dialogs/number_text.h"
#include "l10n/settings.h"
#include "res/resource.h"

namespace kq {

bool CAboutDlg::OnInitDialog() {
    if (!view_) return true;
    view_->TranslateWindow();
    const std::string version = settings_.Translate("About.Version");
    view_->SetText(IDC_ABOUT_VERSION, version.find("%1") != std::string::npos
                                          ? FillPlaces(version, KQ_VERSION)
                                          : version + " " + KQ_VERSION);
    return true;
}

}  // namespace kq
