#include "app/language_dlg.h"

#include "l10n/settings.h"
#include "pages/window_tools.h"
#include "ui_language_dlg.h"

namespace kq {

CLanguageDlg::CLanguageDlg(Settings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), ui_(std::make_unique<Ui::LanguageDlg>()) {
    ui_->setupUi(this);
    m_comboLanguage = ui_->languageCombo;
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    connect(ui_->okButton, &QPushButton::clicked, this, &CLanguageDlg::OnOK);
}

CLanguageDlg::~CLanguageDlg() = default;

int CLanguageDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CLanguageDlg::OnInitDialog() {
    TranslateWindow(this, settings_);
    m_comboLanguage->addItem(Tr(settings_, "ConfigGeneral.English"));
    m_comboLanguage->addItem(Tr(settings_, "ConfigGeneral.SimpChinese"));
    const bool chinese = (settings_.locale().SystemDefaultLanguage() & 0xFF) == kLangChinese;
    m_comboLanguage->setCurrentIndex(chinese ? 1 : 0);
    ui_->okButton->setFocus();
    return true;
}

void CLanguageDlg::OnOK() {
    const int index = m_comboLanguage->currentIndex();
    if (index == 0) settings_.SaveLanguageChoice("English");
    if (index == 1) settings_.SaveLanguageChoice("SimpChinese");
    accept();
}

}  // namespace kq
