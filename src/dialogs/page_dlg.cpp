#include "dialogs/page_dlg.h"

#include "dialogs/number_text.h"
#include "l10n/settings.h"

namespace kq {

CPageDlg::CPageDlg(PageContext& context, LinkWorker& worker, int templateId,
                   const char* tabTitleKey)
    : context_(context), worker_(worker), templateId_(templateId), tabTitleKey_(tabTitleKey) {
    worker_.AddBusyListener(alive_.Watch(), [this](bool) { UpdateControls(); });
}

CPageDlg::~CPageDlg() {
    alive_.End();
}

DialogView& CPageDlg::View() {
    static DialogView detached;
    return view_ ? *view_ : detached;
}

std::string CPageDlg::Tr(std::string_view key) const {
    return context_.settings.Translate(key);
}

void CPageDlg::MessageBox(std::string_view titleKey, std::string_view textKey, MessageIcon icon) {
    View().ShowMessage({MessageTitle(titleKey), Tr(textKey), icon});
}

std::string CPageDlg::MessageTitle(std::string_view titleKey) const {
    if (shown_) return Tr(titleKey);
    const std::string pattern = Tr("WarningGeneral.PageTitle");
    // A language file without the key still gets both names.
    if (pattern.find("%2") == std::string::npos) return Tr(tabTitleKey_) + " — " + Tr(titleKey);
    return FillPlaces(pattern, {Tr(tabTitleKey_), Tr(titleKey)});
}

void CPageDlg::CommunicationFail() {
    MessageBox("WarningUart.Title", "WarningUart.CommunicationFail");
}

// An engine in its loader answers: that is no communication error, whatever brought it there.
void CPageDlg::ApplicationMissing(EngineState state) {
    if (state == EngineState::Loader) {
        MessageBox("WarningUart.InLoaderTitle", "WarningUart.InLoader", MessageIcon::Information);
        return;
    }
    CommunicationFail();
}

}  // namespace kq
