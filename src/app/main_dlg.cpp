#include "app/main_dlg.h"

#include <QAction>

#include "app/about_dlg.h"
#include "app/tab_ctrl.h"
#include "devlink/commands.h"
#include "l10n/settings.h"
#include "pages/window_tools.h"
#include "ui_main_dlg.h"

namespace kq {
namespace {

constexpr int kStatusHeight = 20;
constexpr const char* kNoProductId = "XX-XX-XX-XX-XX-XX";
constexpr std::chrono::milliseconds kBusyCursorDelay{150};

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

CMainDlg::CMainDlg(PageContext& context, HotplugSource* hotplug, QWidget* parent)
    : QDialog(parent),
      worker_(context.link),
      m_ledPage(context, worker_),
      m_systemPage(context, worker_),
      m_flipPage(context, worker_),
      m_hIcon(":/icons/kq7300.png"),
      context_(context),
      hotplug_(hotplug),
      ui_(std::make_unique<Ui::MainDlg>()),
      keys_(nullptr) {
    ui_->setupUi(this);
    m_tab = ui_->tabCtrl;
    m_statusBar = nullptr;
    // Minimised but never maximised or resized by hand: the window follows its page.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    busyDelay_.setSingleShot(true);
    busyDelay_.setInterval(kBusyCursorDelay);
    connect(&busyDelay_, &QTimer::timeout, this, [this] { setCursor(Qt::BusyCursor); });
    connect(&worker_, &LinkWorker::busyChanged, this, &CMainDlg::OnBusyChanged);
    connect(&m_systemPage, &CSystemDlg::upgradeRunningChanged, this, &CMainDlg::OnUpgradeRunning);
}

// The window is already hidden: a request in flight is let finish (its timeouts bound the wait)
// so that the link is never left mid-exchange, and those queued behind it are dropped.
CMainDlg::~CMainDlg() {
    if (hotplug_) hotplug_->Stop();
    disconnect(&m_systemPage, nullptr, this, nullptr);
    worker_.Shutdown();
}

int CMainDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CMainDlg::OnInitDialog() {
    TranslateWindow(this, context_.settings);
    keys_ = new EnterEscapeFilter(this);

    // The about box is reached from the window's context menu or F1.
    auto* about = new QAction(Tr(context_.settings, "About.Title"), this);
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &CMainDlg::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setWindowIcon(m_hIcon);

    if (hotplug_) {
        // The source may call from any thread; the event is handled on this window's thread.
        // A notice that arrives during an upgrade is dropped then, not when it is handled.
        hotplug_->Start([this](const HotplugEvent& event) {
            if (m_systemPage.m_bUpgrading) return;
            notices_.Post([this, event] { OnDeviceChange(&event); });
        });
    }

    m_statusBar = new CStatusBarCtrl(this);
    m_statusBar->SetParts({120, -1});
    QStringList presence;
    for (const char* key : kStateKeys) presence << " " + Tr(context_.settings, key);
    m_statusBar->FitPart(0, presence);
    m_statusBar->SetText(0, Tr(context_.settings, "WarningGeneral.DeviceDisconnect"));
    m_statusBar->SetText(1, ProductIdText(kNoProductId));

    m_systemPage.m_bUpgrading = false;

    m_ledPage.Create(m_tab);
    m_systemPage.Create(m_tab);
    m_flipPage.Create(m_tab);
    FillTabs();

    setWindowTitle(kCaption);

    m_curPage = 0;
    LayoutCurrentPage();
    m_tab->SetCurSel(0);
    for (int i = 0; i < m_tab->GetItemCount(); ++i) m_pages[i]->hide();
    m_pages[0]->show();
    connect(m_tab, &CTabCtrl::selChange, this, &CMainDlg::OnSelchangeTab);

    CheckDevice();
    return true;
}

void CMainDlg::FillTabs() {
    struct Choice {
        const char* key;
        CPageDlg* page;
        const char* title;
    };
    const Choice choices[] = {{"dlg1", &m_ledPage, "Tab.Led"},
                              {"dlg2", &m_flipPage, "Tab.Flip"},
                              {"dlg3", &m_systemPage, "Tab.System"}};
    const Settings& settings = context_.settings;
    int n = 0;
    for (const ConfigPair& pair : settings.ReadConfigSection("dialog")) {
        if (pair.value != "true") continue;
        for (const Choice& c : choices) {
            if (pair.key != c.key) continue;
            // Three slots, one per page: a page named twice keeps its first tab.
            if (std::find(m_pages, m_pages + n, c.page) != m_pages + n) break;
            m_pages[n] = c.page;
            m_tab->InsertItem(n, Tr(settings, c.title));
            ++n;
            break;
        }
    }
    if (m_tab->GetItemCount() > 0) return;
    int i = 0;
    for (const Choice& c : choices) {
        m_pages[i] = c.page;
        m_tab->InsertItem(i++, Tr(settings, c.title));
    }
}

void CMainDlg::LayoutCurrentPage() {
    CPageDlg* page = m_pages[m_curPage];
    const QSize p = page->size();
    page->move(CTabCtrl::kPageLeft, CTabCtrl::kPageTop);
    m_tab->setGeometry(0, 0, p.width() + 16, p.height() + 33);
    // The window manager adds the frame; this sets the client area and leaves the window's
    // top-left corner where it is.
    setFixedSize(m_tab->width(), m_tab->height() + kStatusHeight);
    m_statusBar->setGeometry(0, m_tab->height(), width(), kStatusHeight);
    update();
}

void CMainDlg::OnSelchangeTab() {
    m_pages[m_curPage]->hide();
    m_curPage = m_tab->GetCurSel();
    LayoutCurrentPage();
    m_pages[m_curPage]->show();
    m_pages[m_curPage]->OnInitDialog();
}

void CMainDlg::OnAbout() {
    CAboutDlg about(m_hIcon, this);
    about.exec();
}

void CMainDlg::CheckDevice() {
    worker_.Run(
        this,
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
                RefreshConnected(QString(), probe);
            } else {
                ShowAbsent(QString());
            }
        });
}

void CMainDlg::RefreshConnected(const QString& prefix, const EngineProbe& probe) {
    const Settings& s = context_.settings;
    if (probe.noPermission) {
        m_statusBar->SetText(0, prefix + Tr(s, "WarningGeneral.DeviceNoPermission"));
        m_statusBar->SetText(1, ProductIdText(kNoProductId));
        m_systemPage.m_productId.clear();
        if (!permissionNoticeShown_) {
            permissionNoticeShown_ = true;
            context_.messages.Show(this, Tr(s, "WarningGeneral.NoPermissionTitle"),
                                   Tr(s, "WarningGeneral.NoPermission"), MessageIcon::Warning);
        }
        return;
    }
    m_statusBar->SetText(0, prefix + Tr(s, StateKey(probe.state)));
    if (probe.state != EngineState::Application) {
        // An id shown before an upgrade stopped in the loader no longer says what answers.
        m_statusBar->SetText(1, ProductIdText(kNoProductId));
        m_systemPage.m_productId.clear();
        return;
    }
    if (probe.productId) {
        m_systemPage.m_productId = *probe.productId;
        m_statusBar->SetText(1, ProductIdText(*probe.productId));
    }
    if (!probe.current || *probe.current > 100) return;
    m_ledPage.ShowLedCurrent(*probe.current);
}

void CMainDlg::ShowAbsent(const QString& prefix) {
    m_statusBar->SetText(0, prefix + Tr(context_.settings, "WarningGeneral.DeviceDisconnect"));
    m_statusBar->SetText(1, ProductIdText(kNoProductId));
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
        this,
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
    if (busy) {
        busyDelay_.start();
        return;
    }
    busyDelay_.stop();
    unsetCursor();
}

// The LED and Flip pages would only be told that the engine does not answer while the upgrade
// holds it; afterwards the status bar says in what state the upgrade left the engine.
void CMainDlg::OnUpgradeRunning(bool running) {
    m_ledPage.setEnabled(!running);
    m_flipPage.setEnabled(!running);
    if (!running && !closing_) CheckDevice();
}

QString CMainDlg::ProductIdText(const std::string& id) const {
    const QString text = Tr(context_.settings, "WarningGeneral.ProductId");
    const QString value = QString::fromStdString(id);
    return text.contains("%1") ? text.arg(value) : text + ": " + value;
}

void CMainDlg::reject() {
    OnCancel();
}

void CMainDlg::OnCancel() {
    // Closing stops a running upgrade: the user decides, knowing what it leaves behind. Once
    // the engine has been told to finish there is nothing left to stop.
    const UpgradePhase phase = m_systemPage.upgradePhase();
    if (m_systemPage.m_bUpgrading && phase != UpgradePhase::Finishing) {
        const Settings& s = context_.settings;
        const char* what = phase == UpgradePhase::Loader ? "WarningSystem.CloseBeforeLoader"
                                                         : "WarningSystem.CloseDuringUpgrade";
        if (!context_.messages.Confirm(this, Tr(s, "WarningSystem.Title"), Tr(s, what),
                                       Tr(s, "WarningSystem.StopAndClose"),
                                       Tr(s, "WarningSystem.KeepUpgrading"))) {
            return;
        }
    }
    closing_ = true;
    // Out of sight first: stopping the upgrade waits for its block to end, which a silent
    // engine can stretch to its timeouts.
    hide();
    m_systemPage.AbortUpgrade();
    // A blocking wait on the UI thread: short enough not to matter, and it goes through the
    // link's sleeper so tests need not wait.
    CommandSet(context_.link).DelayMilliseconds(200);
    QDialog::reject();
}

}  // namespace kq
