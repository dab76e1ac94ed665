#include "pages/qt_flip_page.h"

#include "ui_flip_page.h"

namespace kq {

QtFlipPage::QtFlipPage(CFlipDlg& logic, QtServices& services)
    : QtView(logic.context().settings, services, logic, QSize(187, 38)),
      logic_(logic),
      ui_(std::make_unique<Ui::FlipPage>()) {
    ui_->setupUi(this);
    connect(ui_->applyButton, &QPushButton::clicked, this, [this] { logic_.OnFlipDo(); });
    connect(ui_->flipXCheck, &QCheckBox::clicked, this, [this] { logic_.OnFlipX(); });
    connect(ui_->flipYCheck, &QCheckBox::clicked, this, [this] { logic_.OnFlipY(); });
    logic_.Attach(this);
}

QtFlipPage::~QtFlipPage() {
    logic_.Attach(nullptr);
}

}  // namespace kq
