#include "dialogs/system_dlg.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>

#include "dialogs/number_text.h"
#include "l10n/settings.h"
#include "os/sha256.h"
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

// A language file without a text's newer words falls back to ones with no place for the detail.
std::string WithDetail(const std::string& text, const std::string& detail) {
    return text.find("%1") != std::string::npos ? FillPlaces(text, detail) : text + " " + detail;
}

UpgradeStage StageOf(UpgradePhase phase) {
    switch (phase) {
        case UpgradePhase::Loader:
            return UpgradeStage::Loader;
        case UpgradePhase::WaitingForLoader:
            return UpgradeStage::WaitingForLoader;
        case UpgradePhase::Firmware:
            return UpgradeStage::Firmware;
        case UpgradePhase::Finishing:
            return UpgradeStage::Finishing;
        case UpgradePhase::Checking:
            return UpgradeStage::Checking;
    }
    return UpgradeStage::Firmware;
}

int TriesOf(UpgradeStage stage) {
    return stage == UpgradeStage::WaitingForLoader ? kLoaderSearchTries
           : stage == UpgradeStage::Checking       ? kFinishCheckTries
                                                   : 0;
}

// "about 45 s", "about 2 min 5 s"
std::string Duration(const std::string& seconds, const std::string& minutes, uint64_t ms) {
    const uint64_t s = (ms + 999) / 1000;
    if (s < 60) return FillPlaces(seconds, {std::to_string(s)});
    return FillPlaces(minutes, {std::to_string(s / 60), std::to_string(s % 60)});
}

const char* StoppedKey(EngineState left) {
    switch (left) {
        case EngineState::Application:
            return "WarningSystem.StoppedInApplication";
        case EngineState::Loader:
            return "WarningSystem.StoppedInLoader";
        case EngineState::Silent:
        case EngineState::None:
            break;
    }
    return "WarningSystem.StoppedNotFound";
}

// The failures whose text says already what the backup error is about.
bool BackupFailure(UpgradeFailure failure) {
    return failure == UpgradeFailure::BackupUnavailable ||
           failure == UpgradeFailure::BackupNotSaved;
}

}  // namespace

// The user's answer to the question before anything is written, from the UI thread to the
// worker that waits for it. The first answer counts: closing the window gives Cancel.
struct CSystemDlg::Confirmation {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<bool> answer;

    void Give(bool go) {
        {
            std::lock_guard lock(mutex);
            if (answer) return;
            answer = go;
        }
        answered.notify_all();
    }
    bool Given() {
        std::lock_guard lock(mutex);
        return answer.has_value();
    }
    bool Wait() {
        std::unique_lock lock(mutex);
        answered.wait(lock, [this] { return answer.has_value(); });
        return *answer;
    }
};

RunOutcome HistoryOutcome(const UpgradeResult& result, bool closedByWindow) {
    switch (result.outcome) {
        case UpgradeOutcome::Success:
            return {"success", ""};
        case UpgradeOutcome::Failure: {
            std::string reason = UpgradeFailureText(result.failure);
            if (BackupFailure(result.failure) && !result.backupError.empty()) {
                reason += ": " + result.backupError;
            }
            if (closedByWindow) reason = "the window was closed while it ran; " + reason;
            // Nothing was written: the run never began.
            if (result.failure == UpgradeFailure::BackupUnavailable) return {"refused", reason};
            return {"failure", reason};
        }
        case UpgradeOutcome::Stopped:
            return {"stopped", closedByWindow ? "the window was closed" : "Stop was pressed"};
        case UpgradeOutcome::Cancelled:
            return {"refused", closedByWindow ? "the window was closed before it began"
                                              : "cancelled before anything was written"};
    }
    return {"failure", ""};
}

std::optional<HistoryEntry> LastUpgradeInHistory(const std::filesystem::path& file,
                                                 const BackupOwner& engine) {
    HistoryLog log = ReadHistory(file);
    // A run that never began changed nothing the engine runs.
    std::erase_if(log.entries, [](const HistoryEntry& e) { return e.outcome == "refused"; });
    const HistoryEntry* last = LastUpgradeOf(log.entries, engine);
    if (!last) return std::nullopt;
    return *last;
}

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
    // m_pUpgradeThread is left alone: the page owns a running worker until it has ended. The
    // lines under the controls are data, not keys: they say what holds now.
    Page().SetText(IDC_UPGRADE_PHASE, StageText());

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

// Restoring is upgrading with a backup: every kind of image is offered, and the dialog opens
// where the backups are once there is any.
void CSystemDlg::OnBrowse() {
    FileChoice choice{.title = Tr("System.BrowseTitle"),
                      .filters = {{Tr("System.FilterImages"), {"*.enc", "*.bin"}},
                                  {Tr("System.FilterEnc"), {"*.enc"}},
                                  {Tr("System.FilterBin"), {"*.bin"}},
                                  {Tr("System.FilterAll"), {"*"}}}};
    std::error_code ec;
    if (context_.backupDir && !context_.backupDir->empty() &&
        std::filesystem::is_directory(*context_.backupDir, ec)) {
        choice.startFolder = Utf8Of(*context_.backupDir);
    }
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
        Page().SetText(IDC_LANGUAGE_NOTE, "");
        MessageBox("WarningConfig.Title", "WarningConfig.WriteFail", MessageIcon::Warning);
        return;
    }
    if (index != 0 && index != 1) return;
    // The language in use is the one its file is named after; choosing it again needs no restart.
    const std::string inUse = Utf8Of(PathFromUtf8(context_.settings.CurrentLanguageFile).stem());
    Page().SetText(IDC_LANGUAGE_NOTE,
                   inUse == kLanguageNames[index] ? "" : Tr("System.LanguageAfterRestart"));
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

void CSystemDlg::ImageCheckFailed(const ImageLoadResult& loaded, const std::string& programDir) {
    if (loaded.check == ImageCheck::NoFileName) {
        MessageBox(kUpgradeTitleKey, "WarningSystem.InvalidFileName");
        return;
    }
    const std::string size = std::to_string(loaded.size);
    std::string text;
    switch (loaded.check) {
        case ImageCheck::FirmwareUnreadable:
            text = FillPlaces(Tr("WarningSystem.FirmwareUnreadable"), {loaded.path});
            break;
        case ImageCheck::FirmwareSize:
            text = FillPlaces(Tr("WarningSystem.FirmwareSize"),
                              {loaded.path, size, std::to_string(kMaxFirmwareLength)});
            break;
        case ImageCheck::LoaderUnreadable: {
            // Where it was looked for, each folder once, in the order of the search.
            std::vector<std::string> folders;
            for (const auto& candidate : LoaderCandidates(PathFromUtf8(programDir))) {
                const std::string folder = Utf8Of(candidate.parent_path());
                if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
                    folders.push_back(folder);
                }
            }
            std::string places;
            for (const std::string& folder : folders) {
                places += (places.empty() ? "" : ", ") + folder;
            }
            text = FillPlaces(Tr("WarningSystem.NoLoader"), {places});
            break;
        }
        case ImageCheck::LoaderSize:
            text = FillPlaces(Tr("WarningSystem.LoaderSize"),
                              {loaded.path, size, std::to_string(kMaxLoaderLength)});
            break;
        case ImageCheck::Ok:
        case ImageCheck::NoFileName:
            break;
    }
    Page().ShowMessage({MessageTitle(kUpgradeTitleKey), text, MessageIcon::Warning});
}

void CSystemDlg::StartUpgrade() {
    const std::filesystem::path programDir = PathFromUtf8(context_.programPath).parent_path();
    UpgradeImages images;
    const ImageLoadResult loaded =
        LoadUpgradeImages(m_strFileName, LoaderCandidates(programDir), images);
    if (loaded.check != ImageCheck::Ok) {
        ImageCheckFailed(loaded, Utf8Of(programDir));
        UpdateControls();
        return;
    }
    m_firmwareImage = std::move(images.firmware);
    m_loaderImage = std::move(images.loader);
    m_firmwareLength = static_cast<uint32_t>(m_firmwareImage.size());
    m_loaderLength = static_cast<uint32_t>(m_loaderImage.size());

    firmwareName_ = m_strFileName;
    stopPressed_ = false;
    aborted_ = false;
    confirmation_ = std::make_shared<Confirmation>();
    SetStage(UpgradeStage::Preparing);
    // Stop stays pressable while the last run's message is open; that press is not for this run.
    m_bStopRequested = false;
    ownUpgradeWaits_.Reset();
    job_ = std::make_unique<UpgradeJob>(
        UpgradeJob{.link = context_.link,
                   .sleeper = UpgradeWaits(),
                   .firmware = m_firmwareImage,
                   .loader = m_loaderImage,
                   .m_bStopRequested = m_bStopRequested,
                   .m_bUpgrading = &m_bUpgrading,
                   .callbacks = Callbacks(),
                   .backupDir = context_.backupDir,
                   .productId = m_productId,
                   .confirm = [this, &ui = worker_.ui(), alive = Token(),
                               confirmation = confirmation_](const UpgradePlan& plan) {
                       return Confirm(plan, ui, alive, confirmation);
                   }});
    m_bUpgrading = true;
    // A restart would end the process under the worker and leave the engine in its loader.
    Page().SetEnabled(IDC_RESTART, false);
    SetUpgradeControls(kBusyControls);
    StageChanged();
    UiQueue& ui = worker_.ui();
    m_pUpgradeThread = std::make_unique<std::thread>([this, &ui, alive = Token()] {
        // The engine as it was before the run: a restart may give it another path.
        const BackupOwner engine{context_.link.deviceSerial(), job_->productId,
                                 context_.link.devicePlace()};
        Finished finished{UpgradeThreadProc(*job_), {}};
        finished.historyError = AppendToHistory(finished.result, engine);
        ui.Post([this, alive, finished] {
            if (Alive(alive)) OnUpgradeFinished(finished);
        });
    });
    TellRunning(true);
}

// The worker reports through the UI queue only: nothing of the view is touched off the UI
// thread, and nothing reaches a page that is gone. The controls are the page's own: they stay
// busy until the run's message has been read.
UpgradeCallbacks CSystemDlg::Callbacks() {
    UiQueue& ui = worker_.ui();
    const LifeToken alive = Token();
    UpgradeCallbacks callbacks;
    callbacks.progress = [this, &ui, alive](int position) {
        // 0 comes at the start, where the bar stands already, and after a stop, where the bar
        // keeps showing how far the run got until its message has been read.
        if (position == 0) return;
        ui.Post([this, alive, position] {
            if (Alive(alive)) Page().SetPosition(IDC_PROGRESS, position);
        });
    };
    callbacks.phase = [this, &ui, alive](UpgradePhase phase) {
        const UpgradeStage stage = StageOf(phase);
        attempt_ = 1;
        attempts_ = TriesOf(stage);
        SetStage(stage);
        ui.Post([this, alive] {
            if (Alive(alive)) StageChanged();
        });
    };
    callbacks.attempt = [this, &ui, alive](UpgradePhase phase, int attempt, int attempts) {
        attempt_ = attempt;
        attempts_ = attempts;
        SetStage(StageOf(phase));
        ui.Post([this, alive] {
            if (Alive(alive)) StageChanged();
        });
    };
    return callbacks;
}

bool CSystemDlg::Confirm(const UpgradePlan& plan, UiQueue& ui, const LifeToken& alive,
                         const std::shared_ptr<Confirmation>& confirmation) {
    // Stop pressed while the engine was looked at: nothing begins.
    if (m_bStopRequested) return false;
    SetStage(UpgradeStage::Confirming);
    const std::string sha256 = os::Sha256Hex(job_->firmware);
    ui.Post([this, alive, plan, sha256, confirmation] {
        if (!Alive(alive)) return;
        StageChanged();
        AskToConfirm(plan, sha256, *confirmation);
    });
    const bool go = confirmation->Wait();
    if (go) SetStage(UpgradeStage::Preparing);
    return go;
}

void CSystemDlg::AskToConfirm(const UpgradePlan& plan, const std::string& sha256,
                              Confirmation& confirmation) {
    if (confirmation.Given()) return;  // the window closed meanwhile: that was Cancel
    const Question question{.title = Tr(kUpgradeTitleKey),
                            .text = ConfirmText(plan, sha256),
                            .acceptText = Tr("System.UpGrate"),
                            .rejectText = Tr("System.Cancel"),
                            .defaultAnswer = Answer::Reject,
                            .icon = MessageIcon::Warning};
    confirmation.Give(Page().Ask(question) == Answer::Accept);
}

std::string CSystemDlg::ConfirmText(const UpgradePlan& plan, const std::string& sha256) const {
    std::vector<std::string> lines;
    if (plan.estimateMs > kLongUpgradeMs) {
        const uint64_t minutes = (plan.estimateMs + 59999) / 60000;
        lines.push_back(FillPlaces(Tr("WarningSystem.ConfirmLong"),
                                   {std::to_string(minutes), std::to_string(plan.blockSize)}));
        lines.emplace_back();
    }
    lines.push_back(Tr("WarningSystem.ConfirmQuestion"));
    lines.emplace_back();
    lines.push_back(FillPlaces(
        Tr("WarningSystem.ConfirmEngine"),
        {plan.serial.empty() ? Tr("WarningSystem.ConfirmUnknown") : plan.serial,
         plan.productId.empty() ? Tr("WarningSystem.ConfirmNoProductId") : plan.productId}));
    if (!plan.place.empty()) {
        lines.push_back(FillPlaces(Tr("WarningSystem.ConfirmPlace"), {plan.place}));
    }
    lines.push_back(FillPlaces(
        Tr("WarningSystem.ConfirmFile"),
        {Utf8Of(PathFromUtf8(firmwareName_).filename()), std::to_string(plan.firmwareLength)}));
    lines.push_back(FillPlaces(Tr("WarningSystem.ConfirmSha256"), {sha256}));
    lines.push_back(
        Tr(plan.loaderPhase ? "WarningSystem.ConfirmLoader" : "WarningSystem.ConfirmNoLoader"));
    lines.push_back(FillPlaces(
        Tr("WarningSystem.ConfirmTime"),
        {Duration(Tr("WarningSystem.Seconds"), Tr("WarningSystem.Minutes"), plan.estimateMs)}));
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
    return text;
}

std::string CSystemDlg::AppendToHistory(const UpgradeResult& result, const BackupOwner& engine) {
    if (!context_.historyFile) return {};
    HistoryEntry entry = MakeHistoryEntry(engine, PathFromUtf8(firmwareName_), job_->firmware,
                                          HistoryOutcome(result, aborted_.load()), nullptr);
    entry.backup = Utf8Of(result.backupPath);
    entry.backupResumed = result.backupResumed;
    std::string error;
    if (AppendHistory(*context_.historyFile, entry, error)) return {};
    return error.empty() ? Utf8Of(*context_.historyFile) : error;
}

void CSystemDlg::OnStop() {
    stopPressed_ = true;
    SetUpgradeControls({controls_.upgrade, controls_.browse, false});
    m_bStopRequested = true;
    if (m_pUpgradeThread) StageChanged();
}

bool CSystemDlg::StopIf(const std::function<bool(UpgradeStage)>& still) {
    std::lock_guard lock(stageMutex_);
    if (!still(stage_.load())) return false;
    m_bStopRequested = true;
    return true;
}

bool CSystemDlg::OnClose() {
    return !m_pUpgradeThread;
}

void CSystemDlg::OnUpgradeFinished(const Finished& finished) {
    if (!m_pUpgradeThread) return;  // already ended by AbortUpgrade
    m_pUpgradeThread->join();       // its last act was to post this call
    SetStage(UpgradeStage::Idle);
    StageChanged();
    // The status bar tells the truth before the box does: the engine is looked at again first.
    auto then = [this, alive = Token(), finished](EngineState left) {
        if (Alive(alive)) ShowResult(finished, left);
    };
    if (recheckEngine) {
        recheckEngine(std::move(then));
        return;
    }
    worker_.Run(
        Token(), [](DeviceLink& link) { return CommandSet(link).QueryEngineState(); },
        [then = std::move(then)](EngineState left) { then(left); });
}

void CSystemDlg::ShowResult(const Finished& finished, EngineState left) {
    if (!m_pUpgradeThread) return;  // closed meanwhile
    const std::string text = ResultText(finished, left);
    if (!text.empty()) {
        const UpgradeOutcome outcome = finished.result.outcome;
        const bool fine = outcome == UpgradeOutcome::Success ||
                          (outcome != UpgradeOutcome::Failure && left == EngineState::Application);
        Page().ShowMessage(
            {Tr(kUpgradeTitleKey), text, fine ? MessageIcon::Information : MessageIcon::Warning});
    }
    Page().SetPosition(IDC_PROGRESS, 0);
    SetUpgradeControls(kIdleControls);
    EndWorker();
}

std::string CSystemDlg::ResultText(const Finished& finished, EngineState left) const {
    const UpgradeResult& r = finished.result;
    std::string text;
    switch (r.outcome) {
        case UpgradeOutcome::Success:
            text = Tr("WarningSystem.FirmWareUpgrateSuccess");
            break;
        case UpgradeOutcome::Failure:
            text = Tr("WarningSystem.FirmWareUpgrateFail");
            if (const char* reason = UpgradeFailureKey(r.failure)) text += "\n" + Tr(reason);
            if (BackupFailure(r.failure) && !r.backupError.empty()) text += "\n" + r.backupError;
            break;
        case UpgradeOutcome::Stopped:
            text = Tr(StoppedKey(left));
            break;
        case UpgradeOutcome::Cancelled:
            // The user's own Cancel needs no word; a Stop before the start does.
            if (!stopPressed_) return {};
            text = Tr(StoppedKey(left));
            break;
    }
    if (const std::string backup = BackupText(r); !backup.empty()) text += "\n\n" + backup;
    if (!finished.historyError.empty()) {
        text += "\n\n" + WithDetail(Tr("WarningSystem.HistoryFailed"), finished.historyError);
    }
    return text;
}

std::string CSystemDlg::BackupText(const UpgradeResult& r) const {
    if (!r.backupPath.empty()) {
        return WithDetail(
            Tr(r.backupResumed ? "WarningSystem.BackupResumed" : "WarningSystem.BackupSaved"),
            Utf8Of(r.backupPath));
    }
    if (BackupFailure(r.failure)) return {};
    if (!r.backupError.empty()) return WithDetail(Tr("WarningSystem.BackupFailed"), r.backupError);
    if (context_.backupDir) return Tr("WarningSystem.BackupNone");
    return {};
}

void CSystemDlg::AbortUpgrade() {
    if (!m_pUpgradeThread) return;
    aborted_ = true;
    if (confirmation_) confirmation_->Give(false);
    m_bStopRequested = true;
    ownUpgradeWaits_.Interrupt();
    EndWorker();
}

void CSystemDlg::EndWorker() {
    if (!m_pUpgradeThread) return;  // the close path got here first
    if (m_pUpgradeThread->joinable()) m_pUpgradeThread->join();
    m_pUpgradeThread.reset();
    job_.reset();
    confirmation_.reset();
    SetStage(UpgradeStage::Idle);
    Page().SetText(IDC_UPGRADE_PHASE, "");
    Page().SetEnabled(IDC_RESTART, true);
    TellRunning(false);
}

void CSystemDlg::TellRunning(bool running) {
    if (onUpgradeRunningChanged) onUpgradeRunningChanged(running);
}

void CSystemDlg::SetStage(UpgradeStage stage) {
    std::lock_guard lock(stageMutex_);
    stage_ = stage;
}

void CSystemDlg::StageChanged() {
    const UpgradeStage stage = stage_.load();
    Page().SetText(IDC_UPGRADE_PHASE, StageText());
    // Once the engine was told to finish there is nothing left to stop.
    if ((stage == UpgradeStage::Finishing || stage == UpgradeStage::Checking) && controls_.stop) {
        SetUpgradeControls({controls_.upgrade, controls_.browse, false});
    }
    if (onStageChanged) onStageChanged();
}

std::string CSystemDlg::StageText() const {
    const UpgradeStage stage = stage_.load();
    const std::string attempt = std::to_string(attempt_.load());
    const std::string attempts = std::to_string(attempts_.load());
    std::string text;
    switch (stage) {
        case UpgradeStage::Idle:
            return {};
        case UpgradeStage::Preparing:
            text = Tr("System.Phase.Preparing");
            break;
        case UpgradeStage::Confirming:
            text = Tr("System.Phase.Confirming");
            break;
        case UpgradeStage::Loader:
            text = Tr("System.Phase.Loader");
            break;
        case UpgradeStage::WaitingForLoader:
            text = FillPlaces(Tr("System.Phase.WaitingForLoader"), {attempt, attempts});
            break;
        case UpgradeStage::Firmware:
            text = Tr("System.Phase.Firmware");
            break;
        case UpgradeStage::Finishing:
            text = Tr("System.Phase.Finishing");
            break;
        case UpgradeStage::Checking:
            text = FillPlaces(Tr("System.Phase.Checking"), {attempt, attempts});
            break;
    }
    if (!stopPressed_) return text;
    // A stop takes effect at a block boundary: after the block in flight, or after the wait.
    if (stage == UpgradeStage::WaitingForLoader)
        return text + " " + Tr("System.Phase.StopAfterWait");
    if (stage == UpgradeStage::Finishing || stage == UpgradeStage::Checking) return text;
    return text + " " + Tr("System.Phase.Stopping");
}

void CSystemDlg::ShowLastUpgrade(bool engine, const std::optional<HistoryEntry>& last) {
    if (!engine) {
        Page().SetText(IDC_LAST_UPGRADE, "");
        return;
    }
    if (!last) {
        Page().SetText(IDC_LAST_UPGRADE, Tr("System.LastUpgradeNone"));
        return;
    }
    // "2026-12-07T13:15:00+01:00" is shown as "2026-12-07 13:15".
    std::string when = last->time.substr(0, 16);
    if (when.size() > 10 && when[10] == 'T') when[10] = ' ';
    const std::string outcome = last->outcome == "success"   ? Tr("System.LastSuccess")
                                : last->outcome == "failure" ? Tr("System.LastFailure")
                                : last->outcome == "stopped" ? Tr("System.LastStopped")
                                                             : last->outcome;
    Page().SetText(IDC_LAST_UPGRADE,
                   FillPlaces(Tr("System.LastUpgrade"), {when, last->image, outcome}));
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
