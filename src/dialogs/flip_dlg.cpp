#include "dialogs/flip_dlg.h"

#include "res/resource.h"

namespace kq {

CFlipDlg::CFlipDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, IDD_FLIP_DIALOG, "Tab.Flip") {}

bool CFlipDlg::OnInitDialog() {
    View().SetChecked(IDC_FLIP_X, m_flipX != 0);
    View().SetChecked(IDC_FLIP_Y, m_flipY != 0);
    View().TranslateWindow();
    UpdateControls();
    return true;
}

void CFlipDlg::OnFlipX() {
    m_flipX = View().IsChecked(IDC_FLIP_X) ? 1 : 0;
}

void CFlipDlg::OnFlipY() {
    m_flipY = View().IsChecked(IDC_FLIP_Y) ? 1 : 0;
}

void CFlipDlg::OnFlipDo() {
    const uint8_t x = m_flipX != 0 ? 1 : 0;
    const uint8_t y = m_flipY != 0 ? 1 : 0;
    RunInApplication([x, y](CommandSet& commands) { return commands.SetFlip(x, y); },
                     [this](bool sent) {
                         if (!sent) CommunicationFail();
                     });
}

void CFlipDlg::UpdateControls() {
    View().SetEnabled(IDC_FLIP_DO, !LinkBusy());
}

}  // namespace kq
