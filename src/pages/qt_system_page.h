#pragma once

#include <memory>

#include "dialogs/system_dlg.h"
#include "pages/qt_page.h"
#include "pages/qt_view.h"

class QComboBox;
class QLineEdit;

namespace Ui {
class SystemPage;
}

namespace kq {

// The System page's widgets over its logic.
class QtSystemPage : public QtView<QtPage, SystemView> {
  public:
    QtSystemPage(CSystemDlg& logic, QtServices& services);
    ~QtSystemPage() override;

    CSystemDlg& logic() { return logic_; }
    void SetButtonImage(int id, int bitmapId) override;
    bool CloseMainWindow() override;

    QLineEdit* m_editFileName;
    QComboBox* m_comboLanguage;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    CSystemDlg& logic_;
    std::unique_ptr<Ui::SystemPage> ui_;
};

}  // namespace kq
