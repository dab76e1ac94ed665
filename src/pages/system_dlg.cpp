#include "pages/system_dlg.h"

#include <QCloseEvent>
#include <QStyle>

#include "l10n/settings.h"
#include "pages/window_tools.h"
#include "ui_system_page.h"

namespace kq {
namespace {

constexpr const char* kLanguageNames[] = {"English", "SimpChinese"};

}  // namespace

CSystemDlg::CSystemDlg(PageContext& context)
    : CPageDlg(context, QSize(305, 90)), ui_(std::make_unique<Ui::SystemPage>()) {
    ui_->setupUi(this);
    m_editFileName = ui_->IDC_1061;
    m_comboLanguage = ui_->IDC_1116;
    // Upgrade (1032) and Stop (1024) are wired by the firmware upgrade, which owns OnUpgrade
    // and OnStop together with the worker and m_pUpgradeThread.
    connect(ui_->IDC_1021, &QPushButton::clicked, this, &CSystemDlg::OnBrowse);
    connect(m_editFileName, &QLineEdit::textChanged, this, &CSystemDlg::OnFileNameChange);
    connect(m_comboLanguage, &QComboBox::activated, this, &CSystemDlg::OnLanguageSelChange);
    connect(ui_->IDC_1117, &QPushButton::clicked, this, &CSystemDlg::OnRestart);
}

CSystemDlg::~CSystemDlg() = default;

bool CSystemDlg::OnInitDialog() {
    const unsigned locale = context_.settings.locale().SystemDefaultLanguage();
    if (m_editFileName->text() != m_strFileName) m_editFileName->setText(m_strFileName);
    TranslateWindow(this, context_.settings);
    // A running worker still needs its handle; only an idle page forgets it.
    if (!m_bUpgrading) m_pUpgradeThread = nullptr;

    PageFlags& flags = context_.flags;
    if (!flags.g_bSystemPageFirstInit) return true;

    ui_->IDC_1021->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    ui_->IDC_1021->setText(QString());
    ExcludeFromTranslation(ui_->IDC_1021);
    m_bUpgrading = false;
    m_bStopRequested = false;
    m_loaderLength = 0;
    m_firmwareLength = 0;
    m_editFileName->setText(m_strFileName);

    m_comboLanguage->setCurrentIndex(-1);
    m_comboLanguage->addItem(Tr("ConfigGeneral.English"));
    m_comboLanguage->addItem(Tr("ConfigGeneral.SimpChinese"));
    const std::string configured = context_.settings.ReadLanguageSetting();
    if (configured == kLanguageNames[0]) {
        m_comboLanguage->setCurrentIndex(0);
    } else if (configured == kLanguageNames[1]) {
        m_comboLanguage->setCurrentIndex(1);
    } else {
        m_comboLanguage->setCurrentIndex((locale & 0xFF) == kLangChinese ? 1 : 0);
    }
    m_strFileName = m_editFileName->text();
    flags.g_bSystemPageFirstInit = false;
    return true;
}

void CSystemDlg::OnBrowse() {
    const QStringList filters = {Tr("System.FilterEnc") + " (*.enc)",
                                 Tr("System.FilterBin") + " (*.bin)",
                                 Tr("System.FilterAll") + " (*)"};
    const std::optional<QString> path =
        context_.files.GetOpenFileName(this, Tr("System.BrowseTitle"), filters);
    if (!path) return;
    m_strFileName = *path;
    m_editFileName->setText(m_strFileName);
}

void CSystemDlg::OnFileNameChange() {
    m_strFileName = m_editFileName->text();
}

void CSystemDlg::OnLanguageSelChange() {
    const int index = m_comboLanguage->currentIndex();
    if (index == 0 || index == 1) context_.settings.WriteLanguageSetting(kLanguageNames[index]);
}

void CSystemDlg::OnRestart() {
    if (context_.processes.StartDetached(context_.programPath, context_.arguments)) {
        QWidget* main = window();
        if (main != this) {
            // Closing later, through the main window's own close path, as a posted close does.
            QMetaObject::invokeMethod(main, &QWidget::close, Qt::QueuedConnection);
            return;
        }
    }
    context_.processes.ExitNow(-1);
}

void CSystemDlg::closeEvent(QCloseEvent* event) {
    if (m_pUpgradeThread) {
        event->ignore();
        return;
    }
    CPageDlg::closeEvent(event);
}

}  // namespace kq
