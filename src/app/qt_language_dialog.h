#pragma once

#include <QDialog>
#include <memory>

#include "dialogs/language_dlg.h"
#include "pages/qt_view.h"

class QComboBox;

namespace Ui {
class LanguageDlg;
}

namespace kq {

// The first-run language question's widgets over its logic, which it owns.
class QtLanguageDialog : public QtView<QDialog, DialogView> {
    Q_OBJECT

  public:
    QtLanguageDialog(Settings& settings, QtServices& services, QWidget* parent = nullptr);
    ~QtLanguageDialog() override;

    int DoModal();
    bool OnInitDialog();
    void EndDialog(bool accepted) override;

    QComboBox* m_comboLanguage;

  private:
    CLanguageDlg logic_;
    std::unique_ptr<Ui::LanguageDlg> ui_;
};

}  // namespace kq
