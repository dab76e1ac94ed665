#include "dialogs/main_dlg.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

#include "dialogs/number_text.h"
#include "l10n/settings.h"
#include "res/resource.h"

namespace kq {
namespace {

constexpr const char* kNoProductId = "XX-XX-XX-XX-XX-XX";

// Status part 0 for each state of an engine that is attached.
constexpr const char* kStateKeys[] = {
    "WarningGeneral.DeviceConnect", "WarningGeneral.DeviceDisconnect",
    "WarningGeneral.DeviceSilent", "WarningGeneral.DeviceInLoader",
    "WarningGeneral.DeviceNoPermission"};

const char* StateKey(EngineState state) {
    switch (state) {
        case EngineState::Application:
            return "WarningGeneral.DeviceConnect";
        case EngineState::Loader:
            return "WarningGeneral.DeviceInLoader";
        case EngineState::Silent:
            return "WarningGeneral.DeviceSilent";
        case EngineState::None:
            break;
    }
    return "WarningGeneral.DeviceDisconnect";
}

using HistoryFile = std::optional<std::filesystem::path>;

// The link side of RefreshConnected, on the worker: the engine counts as present, then its
// state and, in its application, its id and LED current are read; its last upgrade comes from
// the history.
EngineProbe Probe(DeviceLink& link, bool found, const HistoryFile& history) {
    EngineProbe probe{.found = found};
    if (!found && link.lastDiscoveryError() == OpenError::NoPermission) {
        probe.noPermission = true;
        link.DevicePresent = 0;
        return probe;
    }
    link.DevicePresent = 1;
    CommandSet commands(link);
    probe.state = commands.QueryEngineState();
    if (found) {
        probe.path = link.devicePath();
        probe.serial = link.deviceSerial();
        probe.place = link.devicePlace();
    }
    if (probe.state == EngineState::Application) {
        uint8_t id[8] = {};
        if (commands.GetProductId(id)) probe.productId = FormatProductId(id);
        uint8_t value = 0;
        if (commands.GetLedCurrent(value)) probe.current = value;
    }
    if (found && history) {
        probe.historyRead = true;
        probe.lastUpgrade = LastUpgradeInHistory(
            *history, {probe.serial, probe.productId.value_or(""), probe.place});
    }
    return probe;
}

// A check that did not find the engine: the one that cannot be opened is still told of.
EngineProbe Look(DeviceLink& link, bool found, const HistoryFile& history) {
    if (found || link.lastDiscoveryError() == OpenError::NoPermission) {
        return Probe(link, found, history);
    }
    link.DevicePresent = 0;
    return EngineProbe{};
}

// The engine in use where it still is; else, as at start-up, the first engine found. Another
// engine's coming and going never takes the link from the one in use.
bool FindEngine(DeviceLink& link) {
    const std::string place = link.devicePlace();
    if (!place.empty() && link.FindOnlyDevice({.serial = "", .path = "", .place = place})) {
        return true;
    }
    return link.FindDevice();
}

// Interface paths name the same interface whatever the case of their letters (the system's
// notices and its device lists may differ in it).
bool SamePath(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// What a device notice changed, from the link thread.
struct PresenceChange {
    bool unchanged = false;  // another engine than the one in use came or went
    bool switched = false;   // the engine in use left and another one is used now
    EngineProbe probe;
};

// The close question's words for each stage; at the start of a close only the stages in which
// a stop changes what the engine is left with ask at all.
const char* CloseQuestionKey(UpgradeStage stage, bool asking) {
    switch (stage) {
        case UpgradeStage::Loader:
            return "WarningSystem.CloseBeforeLoader";
        case UpgradeStage::WaitingForLoader:
        case UpgradeStage::Firmware:
            return "WarningSystem.CloseDuringUpgrade";
        case UpgradeStage::Preparing:
        case UpgradeStage::Confirming:
            return asking ? nullptr : "WarningSystem.CloseBeforeStart";
        case UpgradeStage::Finishing:
        case UpgradeStage::Checking:
            return asking ? nullptr : "WarningSystem.CloseWhileFinishing";
        case UpgradeStage::Idle:
            break;
    }
    return asking ? nullptr : "WarningSystem.CloseAfterUpgrade";
}

}  // namespace

CMainDlg::CMainDlg(PageContext& context, HotplugSource* hotplug)
    : worker_(context.link, ui_),
      m_ledPage(context, worker_),
      m_systemPage(context, worker_),
      m_flipPage(context, worker_),
      context_(context),
      hotplug_(hotplug) {
    worker_.AddBusyListener(alive_.Watch(), [this](bool busy) { OnBusyChanged(busy); });
    m_systemPage.onUpgradeRunningChanged = [this](bool running) { OnUpgradeRunning(running); };
    m_systemPage.onStageChanged = [this] { OnUpgradeStageChanged(); };
    m_systemPage.recheckEngine = [this](std::function<void(EngineState)> then) {
        CheckDevice(std::move(then));
    };
}

CMainDlg::~CMainDlg() {
    Shutdown();
    alive_.End();
}

// A request in flight is let finish (its timeouts bound the wait) so that the link is never left
// mid-exchange, and those queued behind it are dropped.
void CMainDlg::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (hotplug_) hotplug_->Stop();
    m_systemPage.onUpgradeRunningChanged = nullptr;
    m_systemPage.onStageChanged = nullptr;
    m_systemPage.recheckEngine = nullptr;
    worker_.Shutdown();
    m_systemPage.AbortUpgrade();
    ui_.Close();
}

MainView& CMainDlg::View() {
    static MainView detached;
    return view_ ? *view_ : detached;
}

std::string CMainDlg::Tr(std::string_view key) const {
    return context_.settings.Translate(key);
}

bool CMainDlg::OnInitDialog() {
    View().TranslateWindow();

    if (hotplug_) {
        // The source may call from any thread; the event is handled on the UI thread. A notice
        // that arrives during an upgrade is dropped then, not when it is handled.
        hotplug_->Start([this, alive = alive_.Watch()](const HotplugEvent& event) {
            if (m_systemPage.m_bUpgrading) return;
            ui_.Post([this, alive, event] {
                if (Alive(alive)) OnDeviceChange(&event);
            });
        });
    }

    View().SetStatusParts({120, -1});
    std::vector<std::string> presence;
    for (const char* key : kStateKeys) presence.push_back(" " + Tr(key));
    View().FitStatusPart(0, presence);
    View().SetStatusText(0, Tr("WarningGeneral.DeviceDisconnect"));
    View().SetStatusText(1, ProductIdText(kNoProductId));

    m_systemPage.m_bUpgrading = false;

    for (CPageDlg* page :
         {static_cast<CPageDlg*>(&m_ledPage), static_cast<CPageDlg*>(&m_systemPage),
          static_cast<CPageDlg*>(&m_flipPage)}) {
        View().CreatePage(page->templateId());
        page->OnInitDialog();
        View().FitPage(page->templateId());
    }
    FillTabs();

    View().SetCaption(kCaption);

    m_curPage = 0;
    LayoutCurrentPage();
    View().SetSelection(IDC_TAB, 0);
    for (int i = 0; i < tabCount_; ++i) View().ShowPage(m_pages[i]->templateId(), false);
    for (CPageDlg* page :
         {static_cast<CPageDlg*>(&m_ledPage), static_cast<CPageDlg*>(&m_systemPage),
          static_cast<CPageDlg*>(&m_flipPage)}) {
        page->SetShown(page == m_pages[0]);
    }
    View().ShowPage(m_pages[0]->templateId(), true);

    CheckDevice();
    return true;
}

void CMainDlg::FillTabs() {
    struct Choice {
        const char* key;
        CPageDlg* page;
    };
    const Choice choices[] = {{"dlg1", &m_ledPage}, {"dlg2", &m_flipPage}, {"dlg3", &m_systemPage}};
    int& n = tabCount_;
    n = 0;
    for (const ConfigPair& pair : context_.settings.ReadConfigSection("dialog")) {
        if (pair.value != "true") continue;
        for (const Choice& c : choices) {
            if (pair.key != c.key) continue;
            // Three slots, one per page: a page named twice keeps its first tab.
            if (std::find(m_pages, m_pages + n, c.page) != m_pages + n) break;
            m_pages[n++] = c.page;
            View().AddItem(IDC_TAB, Tr(c.page->tabTitleKey()));
            break;
        }
    }
    if (n > 0) return;
    for (const Choice& c : choices) {
        m_pages[n++] = c.page;
        View().AddItem(IDC_TAB, Tr(c.page->tabTitleKey()));
    }
}

void CMainDlg::LayoutCurrentPage() {
    View().LayoutPage(m_pages[m_curPage]->templateId());
}

void CMainDlg::OnSelchangeTab() {
    View().ShowPage(m_pages[m_curPage]->templateId(), false);
    m_pages[m_curPage]->SetShown(false);
    m_curPage = View().GetSelection(IDC_TAB);
    LayoutCurrentPage();
    View().ShowPage(m_pages[m_curPage]->templateId(), true);
    m_pages[m_curPage]->SetShown(true);
    m_pages[m_curPage]->OnInitDialog();
}

void CMainDlg::CheckDevice(std::function<void(EngineState)> then) {
    worker_.Run(
        alive_.Watch(),
        [history = context_.historyFile](DeviceLink& link) {
            return Look(link, FindEngine(link), history);
        },
        [this, then = std::move(then)](const EngineProbe& probe) {
            if (probe.found || probe.noPermission) {
                RefreshConnected("", probe);
            } else {
                ShowAbsent("");
            }
            if (then) then(probe.state);
        });
}

void CMainDlg::RefreshConnected(const std::string& prefix, const EngineProbe& probe) {
    if (probe.noPermission) {
        m_systemPage.ShowLastUpgrade(false, std::nullopt);
        View().SetStatusText(0, prefix + Tr("WarningGeneral.DeviceNoPermission"));
        View().SetStatusText(1, ProductIdText(kNoProductId));
        m_systemPage.m_productId.clear();
        if (!permissionNoticeShown_) {
            permissionNoticeShown_ = true;
            View().ShowMessage({Tr("WarningGeneral.NoPermissionTitle"),
                                Tr("WarningGeneral.NoPermission"), MessageIcon::Warning});
        }
        return;
    }
    View().SetStatusText(0, prefix + Tr(StateKey(probe.state)));
    m_systemPage.ShowLastUpgrade(probe.historyRead, probe.lastUpgrade);
    if (probe.state != EngineState::Application) {
        // An id shown before an upgrade stopped in the loader no longer says what answers.
        View().SetStatusText(1, ProductIdText(kNoProductId));
        m_systemPage.m_productId.clear();
        return;
    }
    if (probe.productId) {
        m_systemPage.m_productId = *probe.productId;
        View().SetStatusText(1, ProductIdText(*probe.productId));
    }
    if (!probe.current || *probe.current > KQ_LED_CURRENT_MAX) return;
    m_ledPage.ShowLedCurrent(*probe.current);
}

void CMainDlg::ShowAbsent(const std::string& prefix) {
    View().SetStatusText(0, prefix + Tr("WarningGeneral.DeviceDisconnect"));
    View().SetStatusText(1, ProductIdText(kNoProductId));
    m_systemPage.m_productId.clear();
    m_systemPage.ShowLastUpgrade(false, std::nullopt);
    permissionNoticeShown_ = false;
}

bool CMainDlg::OnDeviceChange(const HotplugEvent* record) {
    if (!record || record->interfaceClass != EngineInterfaceClass) return true;
    // The engine restarts into its loader during an upgrade; the status bar must not follow.
    if (m_systemPage.m_bUpgrading) return true;
    if (!MatchVidPid(record->path, kEngineVendorId, kEngineProductId)) return true;
    // In the worker's order: an arrival queued behind a request is shown after it.
    const bool arrival = record->kind == DeviceEventKind::Arrival;
    worker_.Run(
        alive_.Watch(),
        [arrival, path = record->path, history = context_.historyFile](DeviceLink& link) {
            PresenceChange change;
            if (arrival) {
                change.probe = Probe(link, FindEngine(link), history);
                return change;
            }
            const std::string inUse = link.devicePath();
            if (link.DevicePresent == 0 || inUse.empty()) {
                link.FindDevice();  // nothing was in use: the engine counts as gone
                link.DevicePresent = 0;
                return change;
            }
            if (!SamePath(path, inUse)) {
                change.unchanged = true;  // another engine left: the link stays as it is
                return change;
            }
            // Engines of one serial may share a path: the one in use is still there when it is
            // still at its place.
            const std::string place = link.devicePlace();
            if (!place.empty() && link.FindOnlyDevice({.serial = "", .path = "", .place = place})) {
                change.unchanged = true;
                return change;
            }
            // The engine in use left: another one is taken as at start-up.
            const bool found = link.FindDevice();
            change.probe = Look(link, found, history);
            change.switched = found;
            return change;
        },
        [this, arrival, path = record->path](const PresenceChange& change) {
            if (arrival) {
                ForgetArrival(path);
                RefreshConnected(" ", change.probe);
                return;
            }
            if (change.unchanged) return;
            if (change.probe.found || change.probe.noPermission) {
                RefreshConnected(" ", change.probe);
            } else {
                ShowAbsent(" ");
            }
            // An engine plugged in just now is the user's own doing; one that was there all
            // along and now takes over is told of.
            if (change.switched && !ArrivalPending(change.probe.path)) {
                TellEngineChanged(change.probe);
            }
        });
    if (arrival) pendingArrivals_.push_back(record->path);
    return true;
}

bool CMainDlg::ArrivalPending(const std::string& path) const {
    return std::any_of(pendingArrivals_.begin(), pendingArrivals_.end(),
                       [&](const std::string& p) { return SamePath(p, path); });
}

void CMainDlg::ForgetArrival(const std::string& path) {
    const auto it = std::find(pendingArrivals_.begin(), pendingArrivals_.end(), path);
    if (it != pendingArrivals_.end()) pendingArrivals_.erase(it);
}

// The pages' switches and numbers were the other engine's: the user is told which one the
// window talks to now.
void CMainDlg::TellEngineChanged(const EngineProbe& probe) {
    const std::string serial =
        probe.serial.empty() ? Tr("WarningSystem.ConfirmUnknown") : probe.serial;
    const std::string place =
        probe.place.empty() ? Tr("WarningSystem.ConfirmUnknown") : probe.place;
    View().ShowMessage({Tr("WarningGeneral.EngineChangedTitle"),
                        FillPlaces(Tr("WarningGeneral.EngineChanged"), {serial, place}),
                        MessageIcon::Information});
}

void CMainDlg::OnBusyChanged(bool busy) {
    View().ShowBusy(busy);
}

// The LED and Flip pages would only be told that the engine does not answer while the upgrade
// holds it; afterwards the status bar says in what state the upgrade left the engine.
// The engine was looked at again before the upgrade's message was shown.
void CMainDlg::OnUpgradeRunning(bool running) {
    View().EnablePage(IDD_LED_DIALOG, !running);
    View().EnablePage(IDD_FLIP_DIALOG, !running);
}

std::string CMainDlg::ProductIdText(const std::string& id) const {
    const std::string text = Tr("WarningGeneral.ProductId");
    return text.find("%1") != std::string::npos ? FillPlaces(text, id) : text + ": " + id;
}

void CMainDlg::OnCancel() {
    // Closing stops a running upgrade: the user decides, knowing what it leaves behind.
    if (m_systemPage.m_pUpgradeThread && !AskToStopForClose()) return;
    closing_ = true;
    // Out of sight first: stopping the upgrade waits for its block to end, which a silent
    // engine can stretch to its timeouts.
    View().HideWindow();
    m_systemPage.AbortUpgrade();
    // A blocking wait on the UI thread: short enough not to matter, and it goes through the
    // link's sleeper so tests need not wait.
    CommandSet(context_.link).DelayMilliseconds(200);
    View().EndDialog(false);
}

// Only while a stop changes what the engine is left with is there a question: before anything
// is written closing answers Cancel, and once the engine was told to finish there is nothing
// left to stop. While the question is open its words follow the upgrade, and "Stop and close"
// does what they say when it is pressed: if the upgrade has moved on to other words by then,
// the question is asked again with them.
bool CMainDlg::AskToStopForClose() {
    const char* key = CloseQuestionKey(m_systemPage.upgradeStage(), true);
    while (key) {
        closeShown_ = key;
        const Question question{.title = Tr("WarningSystem.Title"),
                                .text = Tr(key),
                                .acceptText = Tr("WarningSystem.StopAndClose"),
                                .rejectText = Tr("WarningSystem.KeepUpgrading"),
                                .defaultAnswer = Answer::Reject,
                                .icon = MessageIcon::Warning,
                                .whileOpen = [this](OpenQuestion* open) { openClose_ = open; }};
        const Answer answer = View().Ask(question);
        openClose_ = nullptr;
        if (answer != Answer::Accept) return false;
        const std::string shown = closeShown_;
        if (m_systemPage.StopIf(
                [&](UpgradeStage stage) { return shown == CloseQuestionKey(stage, false); })) {
            return true;
        }
        key = CloseQuestionKey(m_systemPage.upgradeStage(), false);
    }
    return true;
}

void CMainDlg::OnUpgradeStageChanged() {
    if (!openClose_) return;
    const char* key = CloseQuestionKey(m_systemPage.upgradeStage(), false);
    if (closeShown_ == key) return;
    closeShown_ = key;
    openClose_->SetText(Tr(key));
}

}  // namespace kq
