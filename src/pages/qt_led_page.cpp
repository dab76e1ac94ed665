#include "pages/qt_led_page.h"

#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>

#include "l10n/settings.h"
#include "res/resource.h"
#include "ui_led_page.h"

namespace kq {

QtLedPage::QtLedPage(CLedDlg& logic, QtServices& services)
    : QtView(logic.context().settings, services, logic, QSize(290, 93)),
      logic_(logic),
      ui_(std::make_unique<Ui::LedPage>()) {
    ui_->setupUi(this);
    m_editCurrent = ui_->currentEdit;
    m_sliderCurrent = ui_->currentSlider;
    m_sliderCurrent->setTickInterval(1);
    // A box for digits only, as the template's number style asks.
    m_editCurrent->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_editCurrent));
    m_editCurrent->installEventFilter(this);
    // Enter in the box checks the number instead of being swallowed with the window's others.
    AcceptEnter(m_editCurrent);

    connect(ui_->ledSwitchButton, &QPushButton::clicked, this, [this] { logic_.OnLedSwitch(); });
    connect(ui_->writeButton, &QPushButton::clicked, this, [this] { logic_.OnWrite(); });
    connect(ui_->readButton, &QPushButton::clicked, this, [this] { logic_.OnRead(); });
    connect(m_editCurrent, &QLineEdit::textChanged, this, [this] { logic_.OnCurrentTextChange(); });
    connect(m_editCurrent, &QLineEdit::returnPressed, this, [this] { logic_.OnCurrentEnter(); });
    // Every way the user moves the slider (mouse, keys, wheel) reaches the box; the program's
    // moves are made with the signals blocked.
    connect(m_sliderCurrent, &QSlider::valueChanged, this,
            [this](int position) { logic_.OnSliderMoved(position); });
    connect(ui_->powerSwitchButton, &QPushButton::clicked, this,
            [this] { logic_.OnPowerSwitch(); });
    logic_.Attach(this);
}

QtLedPage::~QtLedPage() {
    logic_.Attach(nullptr);
}

void QtLedPage::TranslateWindow() {
    QtView::TranslateWindow();
    // Both switch labels take turns; keep room for the longer one so neither is ever cut.
    for (QPushButton* b : {ui_->ledSwitchButton, ui_->powerSwitchButton}) {
        const QFontMetrics fm(b->font());
        const int text = std::max(fm.horizontalAdvance(Tr(settings_, "Led.On")),
                                  fm.horizontalAdvance(Tr(settings_, "Led.Off")));
        b->setMinimumWidth(std::max(b->minimumWidth(), text + 24));
    }
}

bool QtLedPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_editCurrent && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        logic_.OnCurrentBoxPressed();
    }
    return QtView::eventFilter(watched, event);
}

}  // namespace kq
