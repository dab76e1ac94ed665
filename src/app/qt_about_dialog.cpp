#include "app/qt_about_dialog.h"

#include "ui_about_dlg.h"

namespace kq {

QtAboutDialog::QtAboutDialog(const Settings& settings, QtServices& services, const QIcon& icon,
                             QWidget* parent)
    : QtView(settings, services, parent), logic_(settings), ui_(std::make_unique<Ui::AboutDlg>()) {
    ui_->setupUi(this);
    ui_->labelIcon->setPixmap(icon.pixmap(32, 32));
    setWindowIcon(icon);
    logic_.Attach(this);
}

QtAboutDialog::~QtAboutDialog() {
    logic_.Attach(nullptr);
}

bool QtAboutDialog::OnInitDialog() {
    return logic_.OnInitDialog();
}

}  // namespace kq
