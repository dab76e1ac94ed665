#include "dialogs/page_dlg.h"

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
    View().ShowMessage({Tr(titleKey), Tr(textKey), icon});
}

void CPageDlg::CommunicationFail() {
    MessageBox("WarningUart.Title", "WarningUart.CommunicationFail");
}

void CPageDlg::ApplicationMissing(EngineState state) {
    MessageBox("WarningUart.Title", state == EngineState::Loader ? "WarningUart.InLoader"
                                                                 : "WarningUart.CommunicationFail");
}

}  // namespace kq
