#include "pages/qt_system_page.h"

#include <QCloseEvent>
#include <QStyle>

#include "res/resource.h"
#include "ui_system_page.h"

namespace kq {

QtSystemPage::QtSystemPage(CSystemDlg& logic, QtServices& services)
    : QtView(logic.context().settings, services, logic, QSize(305, 90)),
      logic_(logic),
      ui_(std::make_unique<Ui::SystemPage>()) {
    ui_->setupUi(this);
    m_editFileName = ui_->fileNameEdit;
    m_comboLanguage = ui_->languageCombo;
    // The lines change while the page keeps its size: room for two lines each from the start.
    for (QLabel* line : {ui_->phaseLabel, ui_->lastUpgradeLabel}) {
        line->setMinimumHeight(2 * line->fontMetrics().lineSpacing());
    }
    connect(ui_->upgradeButton, &QPushButton::clicked, this, [this] { logic_.OnUpgrade(); });
    connect(ui_->stopButton, &QPushButton::clicked, this, [this] { logic_.OnStop(); });
    connect(ui_->browseButton, &QPushButton::clicked, this, [this] { logic_.OnBrowse(); });
    connect(m_editFileName, &QLineEdit::textChanged, this, [this] { logic_.OnFileNameChange(); });
    connect(m_comboLanguage, &QComboBox::activated, this, [this] { logic_.OnLanguageSelChange(); });
    connect(ui_->restartButton, &QPushButton::clicked, this, [this] { logic_.OnRestart(); });
    logic_.Attach(this);
}

QtSystemPage::~QtSystemPage() {
    logic_.Attach(nullptr);
}

// The one picture of the page: the browse button's folder, from the style in use.
void QtSystemPage::SetButtonImage(int id, int bitmapId) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    if (!button || bitmapId != IDB_BROWSE) return;
    button->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    button->setText(QString());
    ExcludeFromTranslation(button);
}

// Closing later, through the main window's own close path, as a posted close does.
bool QtSystemPage::CloseMainWindow() {
    QWidget* main = window();
    if (main == this) return false;
    QMetaObject::invokeMethod(main, &QWidget::close, Qt::QueuedConnection);
    return true;
}

void QtSystemPage::closeEvent(QCloseEvent* event) {
    if (!logic_.OnClose()) {
        event->ignore();
        return;
    }
    QtPage::closeEvent(event);
}

}  // namespace kq
