#include "pages/system_dlg.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QProgressBar>
#include <QStyle>
#include <QThread>

#include "devlink/commands.h"
#include "l10n/settings.h"
#include "pages/link_worker.h"
#include "pages/window_tools.h"
#include "ui_system_page.h"
#include "upgrade/image_files.h"

namespace kq {
namespace {

constexpr const char* kLanguageNames[] = {"English", "SimpChinese"};

}  // namespace

CSystemDlg::CSystemDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, QSize(305, 90)), ui_(std::make_unique<Ui::SystemPage>()) {
    ui_->setupUi(this);
    m_editFileName = ui_->fileNameEdit;
    m_comboLanguage = ui_->languageCombo;
    connect(ui_->upgradeButton, &QPushButton::clicked, this, &CSystemDlg::OnUpgrade);
    connect(ui_->stopButton, &QPushButton::clicked, this, &CSystemDlg::OnStop);
    connect(ui_->browseButton, &QPushButton::clicked, this, &CSystemDlg::OnBrowse);
    connect(m_editFileName, &QLineEdit::textChanged, this, &CSystemDlg::OnFileNameChange);
    connect(m_comboLanguage, &QComboBox::activated, this, &CSystemDlg::OnLanguageSelChange);
    connect(ui_->restartButton, &QPushButton::clicked, this, &CSystemDlg::OnRestart);
}

CSystemDlg::~CSystemDlg() {
    AbortUpgrade();
}

bool CSystemDlg::OnInitDialog() {
    const unsigned locale = context_.settings.locale().SystemDefaultLanguage();
    if (m_editFileName->text() != m_strFileName) m_editFileName->setText(m_strFileName);
    TranslateWindow(this, context_.settings);
    // m_pUpgradeThread is left alone: the page owns a running worker until it has ended.

    PageFlags& flags = context_.flags;
    if (!flags.g_bSystemPageFirstInit) return true;

    ui_->browseButton->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    ui_->browseButton->setText(QString());
    ExcludeFromTranslation(ui_->browseButton);
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
    if (context_.settings.TakeWriteFailureNotice()) {
        context_.messages.Show(this, Tr("WarningConfig.Title"), Tr("WarningConfig.WriteFail"),
                               MessageIcon::Warning);
    }
}

void CSystemDlg::OnRestart() {
    if (m_pUpgradeThread) return;  // the new instance would end this one mid-transfer
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

void CSystemDlg::OnUpgrade() {
    // The button goes grey at once and a running upgrade refuses a second one, so its image
    // buffers are never replaced under the worker.
    if (m_bUpgrading || m_pUpgradeThread || modeCheckPending_) return;
    m_strFileName = m_editFileName->text();
    modeCheckPending_ = true;
    UpdateControls();
    worker_.Run(
        this, [](DeviceLink& link) { return CommandSet(link).QueryDeviceMode(); },
        [this](DeviceMode mode) {
            modeCheckPending_ = false;
            if (mode == DeviceMode::None) {
                MessageBox("WarningUart.Title", "WarningUart.CommunicationFail");
                UpdateControls();
                return;
            }
            StartUpgrade();
        });
}

void CSystemDlg::StartUpgrade() {
    const std::filesystem::path programDir =
        PathFromUtf8(QFileInfo(context_.programPath).absolutePath().toStdString());
    UpgradeImages images;
    const ImageLoadResult loaded =
        LoadUpgradeImages(m_strFileName.toStdString(), LoaderCandidates(programDir), images);
    if (loaded.check != ImageCheck::Ok) {
        MessageBox(kUpgradeTitleKey, ImageCheckMessageKey(loaded.check));
        UpdateControls();
        return;
    }
    m_firmwareImage = std::move(images.firmware);
    m_loaderImage = std::move(images.loader);
    m_firmwareLength = static_cast<uint32_t>(m_firmwareImage.size());
    m_loaderLength = static_cast<uint32_t>(m_loaderImage.size());

    // The worker reports through the page's mailbox only: no widget is touched off this thread.
    UpgradeCallbacks callbacks;
    callbacks.progress = [this](int position) {
        upgradeReports_.Post([this, position] { ui_->progressBar->setValue(position); });
    };
    callbacks.controls = [this](UpgradeControls controls) {
        upgradeReports_.Post([this, controls] { SetUpgradeControls(controls); });
    };
    // Read by the window when it is closed mid-upgrade; an atomic, not a widget.
    upgradePhase_ = UpgradePhase::Loader;
    // The check after the finish has nothing left to stop either: for the close question it is
    // still the finish.
    callbacks.phase = [this](UpgradePhase phase) {
        upgradePhase_ = phase == UpgradePhase::Checking ? UpgradePhase::Finishing : phase;
    };
    // Stop stays pressable while the last run's message is open; that press is not for this run.
    m_bStopRequested = false;
    ownUpgradeWaits_.Reset();
    job_ = std::make_unique<UpgradeJob>(UpgradeJob{.link = context_.link,
                                                   .sleeper = UpgradeWaits(),
                                                   .firmware = m_firmwareImage,
                                                   .loader = m_loaderImage,
                                                   .m_bStopRequested = m_bStopRequested,
                                                   .m_bUpgrading = &m_bUpgrading,
                                                   .callbacks = callbacks,
                                                   .backupDir = context_.backupDir,
                                                   .productId = m_productId});
    m_bUpgrading = true;
    // A restart would end the process under the worker and leave the engine in its loader.
    ui_->restartButton->setEnabled(false);
    SetUpgradeControls(kBusyControls);
    m_pUpgradeThread = QThread::create([this] {
        const UpgradeResult result = UpgradeThreadProc(*job_);
        upgradeReports_.Post([this, result] { OnUpgradeFinished(result); });
    });
    m_pUpgradeThread->start();
    emit upgradeRunningChanged(true);
}

void CSystemDlg::OnStop() {
    SetUpgradeControls({controls_.upgrade, controls_.browse, false});
    m_bStopRequested = true;
}

void CSystemDlg::OnUpgradeFinished(const UpgradeResult& result) {
    if (!m_pUpgradeThread) return;  // already ended by AbortUpgrade
    m_pUpgradeThread->wait();       // its last act was to post this call
    const char* key = UpgradeMessageKey(result.outcome);
    if (!key) {
        EndWorker();
        return;
    }
    // A language file without the backup texts falls back to words with no place for the path.
    auto withDetail = [this](std::string_view detailKey, const std::string& detail) {
        const QString text = Tr(detailKey);
        const QString value = QString::fromStdString(detail);
        return text.contains("%1") ? text.arg(value) : text + " " + value;
    };
    QString text = Tr(key);
    if (!result.backupPath.empty()) {
        text += "\n\n" + withDetail("WarningSystem.BackupSaved", result.backupPath.string());
    } else if (!result.backupError.empty()) {
        text += "\n\n" + withDetail("WarningSystem.BackupFailed", result.backupError);
    }
    context_.messages.Show(this, Tr(kUpgradeTitleKey), text,
                           result.outcome == UpgradeOutcome::Success ? MessageIcon::Information
                                                                     : MessageIcon::Warning);
    ui_->progressBar->setValue(0);
    SetUpgradeControls(kIdleControls);
    EndWorker();
}

void CSystemDlg::AbortUpgrade() {
    if (!m_pUpgradeThread) return;
    m_bStopRequested = true;
    ownUpgradeWaits_.Interrupt();
    EndWorker();
}

void CSystemDlg::EndWorker() {
    if (!m_pUpgradeThread) return;  // the close path got here first
    m_pUpgradeThread->wait();
    // The worker's last act was a post: from here on, all it did is seen by this thread.
    upgradeReports_.Sync();
    delete m_pUpgradeThread;
    m_pUpgradeThread = nullptr;
    job_.reset();
    ui_->restartButton->setEnabled(true);
    emit upgradeRunningChanged(false);
}

void CSystemDlg::SetUpgradeControls(UpgradeControls controls) {
    controls_ = controls;
    UpdateControls();
}

void CSystemDlg::UpdateControls() {
    ui_->upgradeButton->setEnabled(controls_.upgrade && !modeCheckPending_ && !LinkBusy());
    ui_->browseButton->setEnabled(controls_.browse);
    ui_->stopButton->setEnabled(controls_.stop);
}

Sleeper& CSystemDlg::UpgradeWaits() {
    return context_.upgradeWaits ? *context_.upgradeWaits : ownUpgradeWaits_;
}

void CSystemDlg::closeEvent(QCloseEvent* event) {
    if (m_pUpgradeThread) {
        event->ignore();
        return;
    }
    CPageDlg::closeEvent(event);
}

}  // namespace kq
