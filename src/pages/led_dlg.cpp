#include "pages/led_dlg.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>

#include "devlink/commands.h"
#include "l10n/settings.h"
#include "pages/link_worker.h"
#include "pages/number_text.h"
#include "pages/window_tools.h"
#include "ui_led_page.h"

namespace kq {

namespace {

// The LED switch's run on the link: the engine's state and whether the switch went out.
struct Outcome {
    EngineState state = EngineState::None;
    bool sent = false;
};

}  // namespace

CLedDlg::CLedDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, QSize(290, 93)), ui_(std::make_unique<Ui::LedPage>()) {
    ui_->setupUi(this);
    m_editCurrent = ui_->currentEdit;
    m_sliderCurrent = ui_->currentSlider;
    // A box for digits only, as the template's number style asks.
    m_editCurrent->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_editCurrent));
    m_editCurrent->installEventFilter(this);
    // Enter in the box checks the number instead of being swallowed with the window's others.
    AcceptEnter(m_editCurrent);

    connect(ui_->ledSwitchButton, &QPushButton::clicked, this, &CLedDlg::OnLedSwitch);
    connect(ui_->writeButton, &QPushButton::clicked, this, &CLedDlg::OnWrite);
    connect(ui_->readButton, &QPushButton::clicked, this, &CLedDlg::OnRead);
    connect(m_editCurrent, &QLineEdit::textChanged, this, &CLedDlg::OnCurrentTextChange);
    connect(m_editCurrent, &QLineEdit::returnPressed, this, &CLedDlg::OnCurrentEnter);
    // Every way the user moves the slider (mouse, keys, wheel) reaches the box.
    connect(m_sliderCurrent, &QSlider::valueChanged, this, &CLedDlg::OnSliderMoved);
    connect(ui_->powerSwitchButton, &QPushButton::clicked, this, &CLedDlg::OnPowerSwitch);
}

CLedDlg::~CLedDlg() = default;

bool CLedDlg::OnInitDialog() {
    UpdateData(false);
    TranslateWindow(this, context_.settings);
    // Both switch labels take turns; keep room for the longer one so neither is ever cut.
    for (QPushButton* b : {ui_->ledSwitchButton, ui_->powerSwitchButton}) {
        const QFontMetrics fm(b->font());
        const int text =
            std::max(fm.horizontalAdvance(Tr("Led.On")), fm.horizontalAdvance(Tr("Led.Off")));
        b->setMinimumWidth(std::max(b->minimumWidth(), text + 24));
    }

    PageFlags& flags = context_.flags;
    if (flags.g_bLedPageFirstInit) {
        m_sliderCurrent->setRange(0, 100);
        m_sliderCurrent->setTickInterval(1);
        m_lastPos = static_cast<uint16_t>(m_sliderCurrent->value());
        m_editCurrent->setText(QString::number(m_lastPos));
        m_bPowerOff = 0;
        m_bLedOff = 0;
        flags.g_bLedPageFirstInit = false;
    }

    // Every selection asks for the mode, as the first read waits for the application; a query of
    // this page's still on its way is not asked again.
    if (!initQueryPending_) {
        initQueryPending_ = true;
        worker_.Run(
            this, [](DeviceLink& link) { return CommandSet(link).QueryDeviceMode(); },
            [this](DeviceMode mode) {
                initQueryPending_ = false;
                if (mode == DeviceMode::Application && context_.flags.g_bLedPageReadPending) {
                    OnRead();
                    context_.flags.g_bLedPageReadPending = false;
                }
            });
    }
    UpdateControls();
    return true;
}

void CLedDlg::ShowLedCurrent(uint8_t value) {
    PlaceSlider(value);
    m_lastPos = value;
    m_editCurrent->setText(QString::number(value));
}

void CLedDlg::OnLedSwitch() {
    const bool switchOn = m_bLedOff != 0;
    worker_.Run(
        this,
        [switchOn](DeviceLink& link) {
            CommandSet commands(link);
            Outcome out{.state = commands.QueryEngineState()};
            // The loader understands the LED switch too, so only a missing engine stops it.
            if (out.state != EngineState::None) out.sent = commands.SetLedSwitch(switchOn ? 1 : 0);
            return out;
        },
        [this, switchOn](const Outcome& out) {
            if (!out.sent) {
                // The controls stay as they are, so they keep agreeing with the switch and its
                // label.
                CommunicationFail();
                return;
            }
            m_bLedOff = switchOn ? 0 : 1;
            UpdateControls();
            SetTextKey(ui_->ledSwitchButton, context_.settings, switchOn ? "Led.Off" : "Led.On");
        });
}

void CLedDlg::OnPowerSwitch() {
    const bool switchOn = m_bPowerOff != 0;
    RunInApplication([switchOn](CommandSet& commands) { return commands.SetPower(switchOn); },
                     [this, switchOn](bool sent) {
                         if (!sent) {
                             CommunicationFail();
                             return;
                         }
                         m_bPowerOff = switchOn ? 0 : 1;
                         SetTextKey(ui_->powerSwitchButton, context_.settings,
                                    switchOn ? "Led.Off" : "Led.On");
                     });
}

void CLedDlg::OnWrite() {
    // The number is checked here, where it is used: nothing above 100 ever goes to the engine.
    const std::optional<uint8_t> value = CheckedCurrent();
    if (!value) return;
    // The slider stays usable while the engine is asked; a move made meanwhile is the user's
    // latest word and is not taken back by the answer.
    const int sliderAtPress = m_sliderCurrent->value();
    RunInApplication(
        [value = *value](CommandSet& commands) { return commands.SetLedCurrent(value); },
        [this, value = *value, sliderAtPress](bool sent) {
            if (m_sliderCurrent->value() == sliderAtPress) {
                PlaceSlider(value);
                m_lastPos = value;
            }
            if (!sent) CommunicationFail();
        });
}

void CLedDlg::OnRead() {
    RunInApplication(
        [](CommandSet& commands) -> std::optional<uint8_t> {
            uint8_t value = 0;
            if (!commands.GetLedCurrent(value)) return std::nullopt;
            return value;
        },
        [this](const std::optional<uint8_t>& value) {
            if (!value) {
                CommunicationFail();
                return;
            }
            if (*value > 100) {
                MessageBox("WarningUart.Title", "WarningUart.ReadFail");
                return;
            }
            ShowLedCurrent(*value);
        });
}

// Typing is never interrupted: a half-typed or emptied box is checked only when it is used.
void CLedDlg::OnCurrentTextChange() {
    const std::optional<uint32_t> number = ParseUnsigned(m_editCurrent->text());
    if (number && *number <= 100) m_nCurrent = *number;
}

void CLedDlg::OnCurrentEnter() {
    const std::optional<uint8_t> value = CheckedCurrent();
    if (!value) return;
    PlaceSlider(*value);
    m_lastPos = *value;
}

// The box shows where the user put the slider, whatever it showed before: a click into the
// box may have moved the slider without touching m_lastPos.
void CLedDlg::OnSliderMoved(int position) {
    const QString text = QString::number(position);
    if (m_editCurrent->text() != text) m_editCurrent->setText(text);
    m_lastPos = static_cast<uint16_t>(position);
}

void CLedDlg::PlaceSlider(int position) {
    const QSignalBlocker quiet(m_sliderCurrent);
    m_sliderCurrent->setValue(position);
}

std::optional<uint8_t> CLedDlg::CheckedCurrent() {
    if (!UpdateData(true)) return std::nullopt;
    UpdateData(false);  // the number as it is used: 007 shows as 7
    return static_cast<uint8_t>(m_nCurrent);
}

bool CLedDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_editCurrent && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // Only a number moves it: an emptied box, kept while it is typed, says nothing yet.
        const std::optional<uint32_t> value = ParseUnsigned(m_editCurrent->text());
        if (value && *value <= 100) PlaceSlider(static_cast<int>(*value));
    }
    return CPageDlg::eventFilter(watched, event);
}

bool CLedDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        const QString text = QString::number(m_nCurrent);
        // Writing the same text again would only report another change.
        if (m_editCurrent->text() != text) m_editCurrent->setText(text);
        return true;
    }
    const std::optional<uint32_t> number = ParseUnsigned(m_editCurrent->text());
    if (!number) {
        // What is no number gives way to the last good one, as the prompt says.
        Prompt(Tr("Prompt.InvalidNumber"));
        m_editCurrent->setText(QString::number(m_nCurrent));
        m_editCurrent->selectAll();
        return false;
    }
    if (*number > 100) {
        RangePrompt();
        return false;
    }
    m_nCurrent = *number;
    return true;
}

void CLedDlg::RangePrompt() {
    // A language file without the key falls back to a text with no places for the numbers.
    QString text = Tr("Prompt.Range");
    if (text.contains("%1")) text = text.arg(0).arg(100);
    Prompt(text);
}

void CLedDlg::Prompt(const QString& text) {
    context_.messages.Show(this, Tr("Prompt.Title"), text, MessageIcon::Warning);
    m_editCurrent->setFocus();
    m_editCurrent->selectAll();
}

void CLedDlg::UpdateControls() {
    const bool idle = !LinkBusy();
    const bool ledOn = m_bLedOff == 0;
    ui_->ledSwitchButton->setEnabled(idle);
    ui_->powerSwitchButton->setEnabled(idle);
    m_sliderCurrent->setEnabled(ledOn);
    m_editCurrent->setEnabled(ledOn);
    ui_->writeButton->setEnabled(ledOn && idle);
    ui_->readButton->setEnabled(ledOn && idle);
}

}  // namespace kq
