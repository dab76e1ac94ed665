#include "app/about_dlg.h"

#include "ui_about_dlg.h"

namespace kq {

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AboutDlg>()) {
    ui_->setupUi(this);
    ui_->labelIcon->setPixmap(icon.pixmap(32, 32));
    setWindowIcon(icon);  // its texts stay as they are in every language
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace kq
