#include "dialogs/system_dlg.h"

#include "dialogs/number_text.h"
#include "l10n/settings.h"
#include "res/resource.h"
#include "upgrade/image_files.h"

namespace kq {
namespace {

constexpr const char* kLanguageNames[] = {"English", "SimpChinese"};

// Names travel as UTF-8, on Windows too (where string() would take the ANSI code page).
std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return {utf8.begin(), utf8.end()};
}

}  // namespace

CSystemDlg::CSystemDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, IDD_SYSTEM_DIALOG, "Tab.System") {}

CSystemDlg::~CSystemDlg() {
    AbortUpgrade();
}

void CSystemDlg::Attach(SystemView* view) {
    view_ = view;
    AttachView(view);
}

SystemView& CSystemDlg::Page() {
    static SystemView detached;
    return view_ ? *view_ : detached;
}

bool CSystemDlg::OnInitDialog() {
    const unsigned locale = context_.settings.locale().SystemDefaultLanguage();
    if (Page().GetText(IDC_FILE_NAME) != m_strFileName)
        Page().SetText(IDC_FILE_NAME, m_strFileName);
    Page().TranslateWindow();
    // m_pUpgradeThread is left alone: the page owns a running worker until it has ended.

    PageFlags& flags = context_.flags;
    if (!flags.g_bSystemPageFirstInit) return true;

    Page().SetButtonImage(IDC_BROWSE, IDB_BROWSE);
    m_bUpgrading = false;
    m_bStopRequested = false;
    m_loaderLength = 0;
    m_firmwareLength = 0;
    Page().SetText(IDC_FILE_NAME, m_strFileName);

    Page().SetSelection(IDC_LANGUAGE_COMBO, -1);
    Page().AddItem(IDC_LANGUAGE_COMBO, Tr("ConfigGeneral.English"));
    Page().AddItem(IDC_LANGUAGE_COMBO, Tr("ConfigGeneral.SimpChinese"));
    const std::string configured = context_.settings.ReadLanguageSetting();
    if (configured == kLanguageNames[0]) {
        Page().SetSelection(IDC_LANGUAGE_COMBO, 0);
    } else if (configured == kLanguageNames[1]) {
        Page().SetSelection(IDC_LANGUAGE_COMBO, 1);
    } else {
        Page().SetSelection(IDC_LANGUAGE_COMBO, (locale & 0xFF) == kLangChinese ? 1 : 0);
    }
    m_strFileName = Page().GetText(IDC_FILE_NAME);
    flags.g_bSystemPageFirstInit = false;
    return true;
}

void CSystemDlg::OnBrowse() {
    const FileChoice choice{.title = Tr("System.BrowseTitle"),
                            .filters = {{Tr("System.FilterEnc"), {"*.enc"}},
                                        {Tr("System.FilterBin"), {"*.bin"}},
                                        {Tr("System.FilterAll"), {"*"}}}};
    const std::optional<std::string> path = Page().ChooseFile(choice);
    if (!path) return;
    m_strFileName = *path;
    Page().SetText(IDC_FILE_NAME, m_strFileName);
}

void CSystemDlg::OnFileNameChange() {
    m_strFileName = Page().GetText(IDC_FILE_NAME);
}

void CSystemDlg::OnLanguageSelChange() {
    const int index = Page().GetSelection(IDC_LANGUAGE_COMBO);
    if (index == 0 || index == 1) context_.settings.WriteLanguageSetting(kLanguageNames[index]);
    if (context_.settings.TakeWriteFailureNotice()) {
        MessageBox("WarningConfig.Title", "WarningConfig.WriteFail", MessageIcon::Warning);
    }
}

void CSystemDlg::OnRestart() {
    if (m_pUpgradeThread) return;  // the new instance would end this one mid-transfer
    if (context_.processes.StartDetached(context_.programPath, context_.arguments) &&
        Page().CloseMainWindow()) {
        return;
    }
    context_.processes.ExitNow(-1);
}

void CSystemDlg::OnUpgrade() {
    // The button goes grey at once and a running upgrade refuses a second one, so its image
    // buffers are never replaced under the worker.
    if (m_bUpgrading || m_pUpgradeThread || modeCheckPending_) return;
    m_strFileName = Page().GetText(IDC_FILE_NAME);
    modeCheckPending_ = true;
    UpdateControls();
    worker_.Run(
        Token(), [](DeviceLink& link) { return CommandSet(link).QueryDeviceMode(); },
        [this](DeviceMode mode) {
            modeCheckPending_ = false;
            if (mode == DeviceMode::None) {
                CommunicationFail();
                UpdateControls();
                return;
            }
            StartUpgrade();
        });
}

void CSystemDlg::StartUpgrade() {
    const std::filesystem::path programDir = PathFromUtf8(context_.programPath).parent_path();
    UpgradeImages images;
    const ImageLoadResult loaded =
        LoadUpgradeImages(m_strFileName, LoaderCandidates(programDir), images);
    if (loaded.check != ImageCheck::Ok) {
        MessageBox(kUpgradeTitleKey, ImageCheckMessageKey(loaded.check));
        UpdateControls();
        return;
    }
    m_firmwareImage = std::move(images.firmware);
    m_loaderImage = std::move(images.loader);
    m_firmwareLength = static_cast<uint32_t>(m_firmwareImage.size());
    m_loaderLength = static_cast<uint32_t>(m_loaderImage.size());

    // The worker reports through the UI queue only: nothing of the view is touched off the UI
    // thread, and nothing reaches a page that is gone.
    UiQueue& ui = worker_.ui();
    UpgradeCallbacks callbacks;
    callbacks.progress = [this, &ui, alive = Token()](int position) {
        ui.Post([this, alive, position] {
            if (Alive(alive)) Page().SetPosition(IDC_PROGRESS, position);
        });
    };
    callbacks.controls = [this, &ui, alive = Token()](UpgradeControls controls) {
        ui.Post([this, alive, controls] {
            if (Alive(alive)) SetUpgradeControls(controls);
        });
    };
    // Read by the window when it is closed mid-upgrade; an atomic, not a control.
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
    Page().SetEnabled(IDC_RESTART, false);
    SetUpgradeControls(kBusyControls);
    m_pUpgradeThread = std::make_unique<std::thread>([this, &ui, alive = Token()] {
        const UpgradeResult result = UpgradeThreadProc(*job_);
        ui.Post([this, alive, result] {
            if (Alive(alive)) OnUpgradeFinished(result);
        });
    });
    TellRunning(true);
}

void CSystemDlg::OnStop() {
    SetUpgradeControls({controls_.upgrade, controls_.browse, false});
    m_bStopRequested = true;
}

bool CSystemDlg::OnClose() {
    return !m_pUpgradeThread;
}

void CSystemDlg::OnUpgradeFinished(const UpgradeResult& result) {
    if (!m_pUpgradeThread) return;  // already ended by AbortUpgrade
    m_pUpgradeThread->join();       // its last act was to post this call
    const char* key = UpgradeMessageKey(result.outcome);
    if (!key) {
        EndWorker();
        return;
    }
    // A language file without the backup texts falls back to words with no place for the path.
    auto withDetail = [this](std::string_view detailKey, const std::string& detail) {
        const std::string text = Tr(detailKey);
        return text.find("%1") != std::string::npos ? FillPlaces(text, detail)
                                                    : text + " " + detail;
    };
    std::string text = Tr(key);
    if (!result.backupPath.empty()) {
        text += "\n\n" + withDetail("WarningSystem.BackupSaved", Utf8Of(result.backupPath));
    } else if (!result.backupError.empty()) {
        text += "\n\n" + withDetail("WarningSystem.BackupFailed", result.backupError);
    }
    Page().ShowMessage({Tr(kUpgradeTitleKey), text,
                        result.outcome == UpgradeOutcome::Success ? MessageIcon::Information
                                                                  : MessageIcon::Warning});
    Page().SetPosition(IDC_PROGRESS, 0);
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
    if (m_pUpgradeThread->joinable()) m_pUpgradeThread->join();
    m_pUpgradeThread.reset();
    job_.reset();
    Page().SetEnabled(IDC_RESTART, true);
    TellRunning(false);
}

void CSystemDlg::TellRunning(bool running) {
    if (onUpgradeRunningChanged) onUpgradeRunningChanged(running);
}

void CSystemDlg::SetUpgradeControls(UpgradeControls controls) {
    controls_ = controls;
    UpdateControls();
}

void CSystemDlg::UpdateControls() {
    Page().SetEnabled(IDC_UPGRADE, controls_.upgrade && !modeCheckPending_ && !LinkBusy());
    Page().SetEnabled(IDC_BROWSE, controls_.browse);
    Page().SetEnabled(IDC_STOP, controls_.stop);
}

Sleeper& CSystemDlg::UpgradeWaits() {
    return context_.upgradeWaits ? *context_.upgradeWaits : ownUpgradeWaits_;
}

}  // namespace kq
