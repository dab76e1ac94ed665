#include "app/qt_language_dialog.h"

#include "ui_language_dlg.h"

namespace kq {

QtLanguageDialog::QtLanguageDialog(Settings& settings, QtServices& services, QWidget* parent)
    : QtView(settings, services, parent),
      logic_(settings),
      ui_(std::make_unique<Ui::LanguageDlg>()) {
    ui_->setupUi(this);
    m_comboLanguage = ui_->languageCombo;
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { logic_.OnOK(); });
    logic_.Attach(this);
}

QtLanguageDialog::~QtLanguageDialog() = default;

int QtLanguageDialog::DoModal() {
    OnInitDialog();
    return exec();
}

bool QtLanguageDialog::OnInitDialog() {
    return logic_.OnInitDialog();
}

void QtLanguageDialog::EndDialog(bool accepted) {
    if (accepted) {
        accept();
    } else {
        reject();
    }
}

}  // namespace kq
