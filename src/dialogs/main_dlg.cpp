#include "dialogs/main_dlg.h"

#include <algorithm>
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

// The link side of RefreshConnected, on the worker: the engine counts as present, then its
// state and, in its application, its id and LED current are read.
EngineProbe Probe(DeviceLink& link, bool found) {
    EngineProbe probe{.found = found};
    if (!found && link.lastDiscoveryError() == OpenError::NoPermission) {
        probe.noPermission = true;
        link.DevicePresent = 0;
        return probe;
    }
    link.DevicePresent = 1;
    CommandSet commands(link);
    probe.state = commands.QueryEngineState();
    if (probe.state != EngineState::Application) return probe;
    uint8_t id[8] = {};
    if (commands.GetProductId(id)) probe.productId = FormatProductId(id);
    uint8_t value = 0;
    if (commands.GetLedCurrent(value)) probe.current = value;
    return probe;
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
    m_curPage = View().GetSelection(IDC_TAB);
    LayoutCurrentPage();
    View().ShowPage(m_pages[m_curPage]->templateId(), true);
    m_pages[m_curPage]->OnInitDialog();
}

void CMainDlg::CheckDevice() {
    worker_.Run(
        alive_.Watch(),
        [](DeviceLink& link) {
            const bool found = link.FindDevice();
            if (found || link.lastDiscoveryError() == OpenError::NoPermission) {
                return Probe(link, found);
            }
            link.DevicePresent = 0;
            return EngineProbe{};
        },
        [this](const EngineProbe& probe) {
            if (probe.found || probe.noPermission) {
                RefreshConnected("", probe);
            } else {
                ShowAbsent("");
            }
        });
}

void CMainDlg::RefreshConnected(const std::string& prefix, const EngineProbe& probe) {
    if (probe.noPermission) {
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
        [arrival](DeviceLink& link) {
            const bool found = link.FindDevice();
            if (arrival) return Probe(link, found);
            link.DevicePresent = 0;
            return EngineProbe{};
        },
        [this, arrival](const EngineProbe& probe) {
            if (arrival) {
                RefreshConnected(" ", probe);
            } else {
                ShowAbsent(" ");
            }
        });
    return true;
}

void CMainDlg::OnBusyChanged(bool busy) {
    View().ShowBusy(busy);
}

// The LED and Flip pages would only be told that the engine does not answer while the upgrade
// holds it; afterwards the status bar says in what state the upgrade left the engine.
void CMainDlg::OnUpgradeRunning(bool running) {
    View().EnablePage(IDD_LED_DIALOG, !running);
    View().EnablePage(IDD_FLIP_DIALOG, !running);
    if (!running && !closing_) CheckDevice();
}

std::string CMainDlg::ProductIdText(const std::string& id) const {
    const std::string text = Tr("WarningGeneral.ProductId");
    return text.find("%1") != std::string::npos ? FillPlaces(text, id) : text + ": " + id;
}

void CMainDlg::OnCancel() {
    // Closing stops a running upgrade: the user decides, knowing what it leaves behind. Once
    // the engine has been told to finish there is nothing left to stop.
    const UpgradePhase phase = m_systemPage.upgradePhase();
    if (m_systemPage.m_bUpgrading && phase != UpgradePhase::Finishing) {
        const char* what = phase == UpgradePhase::Loader ? "WarningSystem.CloseBeforeLoader"
                                                         : "WarningSystem.CloseDuringUpgrade";
        const Question question{.title = Tr("WarningSystem.Title"),
                                .text = Tr(what),
                                .acceptText = Tr("WarningSystem.StopAndClose"),
                                .rejectText = Tr("WarningSystem.KeepUpgrading"),
                                .defaultAnswer = Answer::Reject,
                                .icon = MessageIcon::Warning};
        if (View().Ask(question) != Answer::Accept) return;
    }
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

}  // namespace kq
