#include "pages/qt_page.h"

#include "dialogs/page_dlg.h"
#include "pages/window_tools.h"

namespace kq {

QtPage::QtPage(CPageDlg& logic, QSize templateDialogUnits)
    : logic_(logic),
      templateDialogUnits_(templateDialogUnits),
      keys_(new EnterEscapeFilter(this)) {}

QtPage::~QtPage() = default;

void QtPage::Create(QWidget* parent) {
    Adopt(parent);
    logic_.OnInitDialog();
    Fit();
}

void QtPage::Adopt(QWidget* parent) {
    setParent(parent);
    hide();
}

void QtPage::Fit() {
    resize(DialogUnitsToPixels(font(), templateDialogUnits_).expandedTo(sizeHint()));
}

}  // namespace kq
