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

}  // namespace

CMainDlg::CMainDlg(PageContext& context, HotplugSource* hotplug, QWidget* parent)
    : QDialog(parent),
      m_ledPage(context),
      m_systemPage(context),
      m_flipPage(context),
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
}

CMainDlg::~CMainDlg() {
    if (hotplug_) hotplug_->Stop();
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
            QMetaObject::invokeMethod(
                this, [this, event] { OnDeviceChange(&event); }, Qt::QueuedConnection);
        });
    }

    m_statusBar = new CStatusBarCtrl(this);
    m_statusBar->SetParts({120, -1});
    QStringList presence;
    for (const char* key : {"WarningGeneral.DeviceConnect", "WarningGeneral.DeviceDisconnect"}) {
        presence << " " + Tr(context_.settings, key);
    }
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
    if (!context_.link.FindDevice()) return;
    RefreshConnected(QString());
}

void CMainDlg::RefreshConnected(const QString& prefix) {
    CommandSet commands(context_.link);
    m_statusBar->SetText(0, prefix + Tr(context_.settings, "WarningGeneral.DeviceConnect"));
    context_.link.DevicePresent = 1;
    if (commands.QueryDeviceMode() != DeviceMode::Application) return;
    uint8_t id[8] = {};
    if (commands.GetProductId(id)) {
        m_systemPage.m_productId = FormatProductId(id);
        m_statusBar->SetText(1, ProductIdText(FormatProductId(id)));
    }
    uint8_t value = 0;
    if (!commands.GetLedCurrent(value) || value > 100) return;
    m_ledPage.ShowLedCurrent(value);
}

bool CMainDlg::OnDeviceChange(const HotplugEvent* record) {
    if (!record || record->interfaceClass != EngineInterfaceClass) return true;
    // The engine restarts into its loader during an upgrade; the status bar must not follow.
    if (m_systemPage.m_bUpgrading) return true;
    if (!MatchVidPid(record->path, kEngineVendorId, kEngineProductId)) return true;
    DeviceLink& link = context_.link;
    link.FindDevice();
    if (record->kind == DeviceEventKind::Arrival) {
        RefreshConnected(" ");
    } else {
        m_statusBar->SetText(0, " " + Tr(context_.settings, "WarningGeneral.DeviceDisconnect"));
        m_statusBar->SetText(1, ProductIdText(kNoProductId));
        m_systemPage.m_productId.clear();
        link.DevicePresent = 0;
    }
    return true;
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
    // Closing stops a running upgrade: the user decides, knowing what it leaves behind.
    if (m_systemPage.m_bUpgrading) {
        const Settings& s = context_.settings;
        if (!context_.messages.Confirm(
                this, Tr(s, "WarningSystem.Title"), Tr(s, "WarningSystem.CloseDuringUpgrade"),
                Tr(s, "WarningSystem.StopAndClose"), Tr(s, "WarningSystem.KeepUpgrading"))) {
            return;
        }
    }
    m_systemPage.AbortUpgrade();
    // A blocking wait on the UI thread: short enough not to matter, and it goes through the
    // link's sleeper so tests need not wait.
    CommandSet(context_.link).DelayMilliseconds(200);
    QDialog::reject();
}

}  // namespace kq
