#include "app/about_dlg.h"

#include "pages/window_tools.h"
#include "ui_about_dlg.h"

namespace kq {

CAboutDlg::CAboutDlg(const Settings& settings, const QIcon& icon, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AboutDlg>()) {
    ui_->setupUi(this);
    ui_->labelIcon->setPixmap(icon.pixmap(32, 32));
    setWindowIcon(icon);
    TranslateWindow(this, settings);
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace kq
