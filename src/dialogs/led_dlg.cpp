#include "dialogs/led_dlg.h"

#include "dialogs/number_text.h"
#include "l10n/settings.h"
#include "res/resource.h"

namespace kq {

namespace {

// The LED switch's run on the link: the engine's state and whether the switch went out.
struct Outcome {
    EngineState state = EngineState::None;
    bool sent = false;
};

}  // namespace

CLedDlg::CLedDlg(PageContext& context, LinkWorker& worker)
    : CPageDlg(context, worker, IDD_LED_DIALOG, "Tab.Led") {}

bool CLedDlg::OnInitDialog() {
    UpdateData(false);
    View().TranslateWindow();

    PageFlags& flags = context_.flags;
    if (flags.g_bLedPageFirstInit) {
        View().SetRange(IDC_CURRENT_SLIDER, 0, KQ_LED_CURRENT_MAX);
        m_lastPos = static_cast<uint16_t>(View().GetPosition(IDC_CURRENT_SLIDER));
        View().SetText(IDC_CURRENT_EDIT, std::to_string(m_lastPos));
        m_bPowerOff = 0;
        m_bLedOff = 0;
        flags.g_bLedPageFirstInit = false;
    }

    // Every selection asks for the mode, as the first read waits for the application; a query of
    // this page's still on its way is not asked again.
    if (!initQueryPending_) {
        initQueryPending_ = true;
        worker_.Run(
            Token(), [](DeviceLink& link) { return CommandSet(link).QueryDeviceMode(); },
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
    m_nCurrent = value;
    View().SetText(IDC_CURRENT_EDIT, std::to_string(value));
}

void CLedDlg::OnLedSwitch() {
    const bool switchOn = m_bLedOff != 0;
    worker_.Run(
        Token(),
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
            View().SetTextKey(IDC_LED_SWITCH, switchOn ? "Led.Off" : "Led.On");
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
                         View().SetTextKey(IDC_POWER_SWITCH, switchOn ? "Led.Off" : "Led.On");
                     });
}

void CLedDlg::OnWrite() {
    // The number is checked here, where it is used: nothing out of range ever goes to the
    // engine.
    const std::optional<uint8_t> value = CheckedCurrent();
    if (!value) return;
    // The slider stays usable while the engine is asked; a move made meanwhile is the user's
    // latest word and is not taken back by the answer.
    const int sliderAtPress = View().GetPosition(IDC_CURRENT_SLIDER);
    RunInApplication(
        [value = *value](CommandSet& commands) { return commands.SetLedCurrent(value); },
        [this, value = *value, sliderAtPress](bool sent) {
            if (View().GetPosition(IDC_CURRENT_SLIDER) == sliderAtPress) {
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
            if (*value > KQ_LED_CURRENT_MAX) {
                MessageBox("WarningUart.Title", "WarningUart.ReadFail");
                return;
            }
            ShowLedCurrent(*value);
        });
}

// Typing is never interrupted, and what is typed is not taken yet: a half-typed number ("15" on
// the way to "150") is checked, and becomes m_nCurrent, only when it is used (Write, Enter).
void CLedDlg::OnCurrentTextChange() {}

void CLedDlg::OnCurrentEnter() {
    const std::optional<uint8_t> value = CheckedCurrent();
    if (!value) return;
    PlaceSlider(*value);
    m_lastPos = *value;
}

// Only a number moves it: an emptied box, kept while it is typed, says nothing yet.
void CLedDlg::OnCurrentBoxPressed() {
    const std::optional<uint32_t> value = ParseUnsigned(View().GetText(IDC_CURRENT_EDIT));
    if (value && *value <= KQ_LED_CURRENT_MAX) PlaceSlider(static_cast<int>(*value));
}

// The box shows where the user put the slider, whatever it showed before: a press on the box
// may have moved the slider without touching m_lastPos.
void CLedDlg::OnSliderMoved(int position) {
    const std::string text = std::to_string(position);
    if (View().GetText(IDC_CURRENT_EDIT) != text) View().SetText(IDC_CURRENT_EDIT, text);
    m_lastPos = static_cast<uint16_t>(position);
    m_nCurrent = static_cast<uint32_t>(position);
}

void CLedDlg::PlaceSlider(int position) {
    View().SetPosition(IDC_CURRENT_SLIDER, position);
}

std::optional<uint8_t> CLedDlg::CheckedCurrent() {
    if (!UpdateData(true)) return std::nullopt;
    UpdateData(false);  // the number as it is used: 007 shows as 7
    return static_cast<uint8_t>(m_nCurrent);
}

bool CLedDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        const std::string text = std::to_string(m_nCurrent);
        // Writing the same text again would only report another change.
        if (View().GetText(IDC_CURRENT_EDIT) != text) View().SetText(IDC_CURRENT_EDIT, text);
        return true;
    }
    const std::optional<uint32_t> number = ParseUnsigned(View().GetText(IDC_CURRENT_EDIT));
    if (!number) {
        // What is no number gives way to the last good one, as the prompt says.
        Prompt(Tr("Prompt.InvalidNumber"));
        View().SetText(IDC_CURRENT_EDIT, std::to_string(m_nCurrent));
        View().SelectText(IDC_CURRENT_EDIT);
        return false;
    }
    if (*number > KQ_LED_CURRENT_MAX) {
        RangePrompt();
        return false;
    }
    m_nCurrent = *number;
    return true;
}

void CLedDlg::RangePrompt() {
    // A language file without the key falls back to a text with no places for the numbers.
    Prompt(FillPlaces(Tr("Prompt.Range"), "0", std::to_string(KQ_LED_CURRENT_MAX)));
}

void CLedDlg::Prompt(const std::string& text) {
    View().ShowMessage({Tr("Prompt.Title"), text, MessageIcon::Warning});
    View().SelectText(IDC_CURRENT_EDIT);
}

void CLedDlg::UpdateControls() {
    const bool idle = !LinkBusy();
    const bool ledOn = m_bLedOff == 0;
    View().SetEnabled(IDC_LED_SWITCH, idle);
    View().SetEnabled(IDC_POWER_SWITCH, idle);
    View().SetEnabled(IDC_CURRENT_SLIDER, ledOn);
    View().SetEnabled(IDC_CURRENT_EDIT, ledOn);
    View().SetEnabled(IDC_CURRENT_WRITE, ledOn && idle);
    View().SetEnabled(IDC_CURRENT_READ, ledOn && idle);
}

}  // namespace kq
