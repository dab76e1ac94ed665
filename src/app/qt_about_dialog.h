#pragma once

#include <QDialog>
#include <memory>

#include "dialogs/about_dlg.h"
#include "pages/qt_view.h"

class QIcon;

namespace Ui {
class AboutDlg;
}

namespace kq {

// The About box's widgets over its logic, which it owns: the program and its version in the
// window's language; reached from the main window's context menu and F1.
class QtAboutDialog : public QtView<QDialog, DialogView> {
    Q_OBJECT

  public:
    QtAboutDialog(const Settings& settings, QtServices& services, const QIcon& icon,
                  QWidget* parent = nullptr);
    ~QtAboutDialog() override;

    bool OnInitDialog();

  private:
    CAboutDlg logic_;
    std::unique_ptr<Ui::AboutDlg> ui_;
};

}  // namespace kq
