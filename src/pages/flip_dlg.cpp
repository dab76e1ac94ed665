#include "pages/flip_dlg.h"

#include "devlink/commands.h"
#include "pages/link_worker.h"
#include "pages/window_tools.h"
#include "ui_flip_page.h"

namespace kq {

CFlipDlg::CFlipDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, QSize(187, 38)), ui_(std::make_unique<Ui::FlipPage>()) {
    ui_->setupUi(this);
    connect(ui_->applyButton, &QPushButton::clicked, this, &CFlipDlg::OnFlipDo);
    connect(ui_->flipXCheck, &QCheckBox::clicked, this, &CFlipDlg::OnFlipX);
    connect(ui_->flipYCheck, &QCheckBox::clicked, this, &CFlipDlg::OnFlipY);
}

CFlipDlg::~CFlipDlg() = default;

bool CFlipDlg::OnInitDialog() {
    ui_->flipXCheck->setChecked(m_flipX != 0);
    ui_->flipYCheck->setChecked(m_flipY != 0);
    TranslateWindow(this, context_.settings);
    UpdateControls();
    return true;
}

void CFlipDlg::OnFlipX() {
    m_flipX = ui_->flipXCheck->isChecked() ? 1 : 0;
}

void CFlipDlg::OnFlipY() {
    m_flipY = ui_->flipYCheck->isChecked() ? 1 : 0;
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
    ui_->applyButton->setEnabled(!LinkBusy());
}

}  // namespace kq
