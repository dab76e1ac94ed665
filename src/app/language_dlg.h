#pragma once

#include <QDialog>
#include <memory>

class QComboBox;

namespace Ui {
class LanguageDlg;
}

namespace kq {

class Settings;

// The first-run question for the language. OK stores the choice and puts it in force at once;
// Cancel, Escape and the close box store nothing.
class CLanguageDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CLanguageDlg(Settings& settings, QWidget* parent = nullptr);
    ~CLanguageDlg() override;

    int DoModal();
    bool OnInitDialog();
    void OnOK();

    QComboBox* m_comboLanguage;

  private:
    Settings& settings_;
    std::unique_ptr<Ui::LanguageDlg> ui_;
};

}  // namespace kq
