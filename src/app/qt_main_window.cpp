#include "app/qt_main_window.h"

#include <QAction>
#include <QApplication>

#include "app/qt_about_dialog.h"
#include "app/tab_ctrl.h"
#include "l10n/settings.h"
#include "res/resource.h"
#include "ui_main_dlg.h"

namespace kq {
namespace {

constexpr int kStatusHeight = 20;
constexpr std::chrono::milliseconds kBusyCursorDelay{150};

}  // namespace

// Every size is decoded and sent to the window system when a window is created, so the sizes
// stop at what a task bar or window switcher draws: 256 px alone is 256 KB per window.
QIcon ProgramIcon() {
    QIcon icon;
    for (int size : kProgramIconSizes)
        icon.addFile(QString(":/icons/%1/kq7300.png").arg(size), QSize(size, size));
    return icon;
}

QtMainWindow::QtMainWindow(PageContext& context, QtServices& services, HotplugSource* hotplug,
                           QWidget* parent)
    : QtView(context.settings, services, parent),
      logic_(context, hotplug),
      waker_(logic_.ui()),
      ledPage(logic_.m_ledPage, services),
      systemPage(logic_.m_systemPage, services),
      flipPage(logic_.m_flipPage, services),
      ui_(std::make_unique<Ui::MainDlg>()) {
    ui_->setupUi(this);
    m_tab = ui_->tabCtrl;
    // Minimised but never maximised or resized by hand: the window follows its page.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    busyDelay_.setSingleShot(true);
    busyDelay_.setInterval(kBusyCursorDelay);
    connect(&busyDelay_, &QTimer::timeout, this, [this] { setCursor(Qt::BusyCursor); });
    // Only the user's choice is reported: the program's own selections are quiet.
    connect(m_tab, &CTabCtrl::selChange, this, [this] { logic_.OnSelchangeTab(); });
    logic_.Attach(this);
}

// The window is already hidden. The logic ends its device work while the pages' widgets still
// exist; they go before it.
QtMainWindow::~QtMainWindow() {
    logic_.Shutdown();
    logic_.Attach(nullptr);
}

int QtMainWindow::DoModal() {
    OnInitDialog();
    return exec();
}

bool QtMainWindow::OnInitDialog() {
    keys_ = new EnterEscapeFilter(this);
    // The about box is reached from the window's context menu or F1.
    auto* about = new QAction(Tr(settings_, "About.Title"), this);
    about->setShortcut(QKeySequence::HelpContents);
    connect(about, &QAction::triggered, this, &QtMainWindow::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    return logic_.OnInitDialog();
}

// The icon goes to the window system once the window's contents are on the screen: decoding its
// images and sending them would come first otherwise, and the title bar shows it at once anyway.
bool QtMainWindow::event(QEvent* event) {
    if (event->type() == QEvent::Paint && !iconQueued_) {
        iconQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                // Message boxes and the about box share it from here on.
                if (QApplication::windowIcon().isNull()) QApplication::setWindowIcon(ProgramIcon());
                m_hIcon = QApplication::windowIcon();
                setWindowIcon(m_hIcon);
            },
            Qt::QueuedConnection);
    }
    return QtView::event(event);
}

void QtMainWindow::OnAbout() {
    QtAboutDialog about(settings_, services_, m_hIcon, this);
    about.OnInitDialog();
    about.exec();
}

QtPage* QtMainWindow::pageAt(int index) {
    return Page(logic_.m_pages[index]->templateId());
}

QtPage* QtMainWindow::Page(int templateId) {
    switch (templateId) {
        case IDD_LED_DIALOG:
            return &ledPage;
        case IDD_SYSTEM_DIALOG:
            return &systemPage;
        case IDD_FLIP_DIALOG:
            return &flipPage;
        default:
            return nullptr;
    }
}

void QtMainWindow::reject() {
    logic_.OnCancel();
}

void QtMainWindow::AddItem(int id, const std::string& text) {
    if (id != IDC_TAB) return QtView::AddItem(id, text);
    m_tab->InsertItem(m_tab->GetItemCount(), QString::fromStdString(text));
}

void QtMainWindow::SetSelection(int id, int index) {
    if (id != IDC_TAB) return QtView::SetSelection(id, index);
    m_tab->SetCurSel(index);
}

int QtMainWindow::GetSelection(int id) const {
    if (id != IDC_TAB) return QtView::GetSelection(id);
    return m_tab->GetCurSel();
}

void QtMainWindow::SetCaption(const std::string& text) {
    setWindowTitle(QString::fromStdString(text));
}

void QtMainWindow::SetStatusParts(const std::vector<int>& rightEdges) {
    if (!m_statusBar) m_statusBar = new CStatusBarCtrl(this);
    m_statusBar->SetParts(QList<int>(rightEdges.begin(), rightEdges.end()));
}

void QtMainWindow::FitStatusPart(int part, const std::vector<std::string>& texts) {
    QStringList list;
    for (const std::string& text : texts) list << QString::fromStdString(text);
    m_statusBar->FitPart(part, list);
}

void QtMainWindow::SetStatusText(int part, const std::string& text) {
    m_statusBar->SetText(part, QString::fromStdString(text));
}

std::string QtMainWindow::GetStatusText(int part) const {
    return m_statusBar->GetText(part).toStdString();
}

void QtMainWindow::CreatePage(int templateId) {
    Page(templateId)->Adopt(m_tab);
}

void QtMainWindow::FitPage(int templateId) {
    Page(templateId)->Fit();
}

void QtMainWindow::LayoutPage(int templateId) {
    QtPage* page = Page(templateId);
    const QSize p = page->size();
    page->move(CTabCtrl::kPageLeft, CTabCtrl::kPageTop);
    m_tab->setGeometry(0, 0, p.width() + 16, p.height() + 33);
    // The window manager adds the frame; this sets the client area and leaves the window's
    // top-left corner where it is.
    setFixedSize(m_tab->width(), m_tab->height() + kStatusHeight);
    m_statusBar->setGeometry(0, m_tab->height(), width(), kStatusHeight);
    update();
}

void QtMainWindow::ShowPage(int templateId, bool shown) {
    Page(templateId)->setVisible(shown);
}

void QtMainWindow::EnablePage(int templateId, bool enabled) {
    Page(templateId)->setEnabled(enabled);
}

void QtMainWindow::ShowBusy(bool busy) {
    if (busy) {
        busyDelay_.start();
        return;
    }
    busyDelay_.stop();
    unsetCursor();
}

void QtMainWindow::HideWindow() {
    hide();
}

void QtMainWindow::EndDialog(bool accepted) {
    if (accepted) {
        QDialog::accept();
    } else {
        QDialog::reject();
    }
}

}  // namespace kq
