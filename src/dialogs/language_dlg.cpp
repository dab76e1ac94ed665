#include "dialogs/language_dlg.h"

#include "l10n/settings.h"
#include "res/resource.h"

namespace kq {
namespace {

constexpr int kOkButton = 1;  // IDOK

}  // namespace

DialogView& CLanguageDlg::View() {
    static DialogView detached;
    return view_ ? *view_ : detached;
}

bool CLanguageDlg::OnInitDialog() {
    View().TranslateWindow();
    View().AddItem(IDC_LANGUAGE_LIST, settings_.Translate("ConfigGeneral.English"));
    View().AddItem(IDC_LANGUAGE_LIST, settings_.Translate("ConfigGeneral.SimpChinese"));
    const bool chinese = (settings_.locale().SystemDefaultLanguage() & 0xFF) == kLangChinese;
    View().SetSelection(IDC_LANGUAGE_LIST, chinese ? 1 : 0);
    View().SetFocus(kOkButton);
    return true;
}

void CLanguageDlg::OnOK() {
    const int index = View().GetSelection(IDC_LANGUAGE_LIST);
    if (index == 0) settings_.SaveLanguageChoice("English");
    if (index == 1) settings_.SaveLanguageChoice("SimpChinese");
    View().EndDialog(true);
}

}  // namespace kq
