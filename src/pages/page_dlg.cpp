#include "pages/page_dlg.h"

#include "l10n/settings.h"
#include "pages/link_worker.h"
#include "pages/window_tools.h"

namespace kq {

CPageDlg::CPageDlg(PageContext& context, LinkWorker& worker, QSize templateDialogUnits)
    : context_(context),
      worker_(worker),
      templateDialogUnits_(templateDialogUnits),
      keys_(new EnterEscapeFilter(this)) {
    connect(&worker_, &LinkWorker::busyChanged, this, [this] { UpdateControls(); });
}

CPageDlg::~CPageDlg() = default;

void CPageDlg::Create(QWidget* parent) {
    setParent(parent);
    hide();
    OnInitDialog();
    // The template's size, or more when a language's texts need it.
    resize(DialogUnitsToPixels(font(), templateDialogUnits_).expandedTo(sizeHint()));
}

void CPageDlg::MessageBox(std::string_view titleKey, std::string_view textKey, MessageIcon icon) {
    context_.messages.Show(this, Tr(titleKey), Tr(textKey), icon);
}

void CPageDlg::CommunicationFail() {
    MessageBox("WarningUart.Title", "WarningUart.CommunicationFail");
}

void CPageDlg::ApplicationMissing(EngineState state) {
    MessageBox("WarningUart.Title", state == EngineState::Loader ? "WarningUart.InLoader"
                                                                 : "WarningUart.CommunicationFail");
}

bool CPageDlg::LinkBusy() const {
    return worker_.busy();
}

QString CPageDlg::Tr(std::string_view key) const {
    return kq::Tr(context_.settings, key);
}

}  // namespace kq
