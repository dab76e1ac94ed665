#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dialogs/page_dlg.h"

namespace kq {

// The LED page: power and LED switches, and the LED current as a slider (IDC_CURRENT_SLIDER)
// and a number box (IDC_CURRENT_EDIT).
//
// Its view reports: clicks of IDC_LED_SWITCH, IDC_CURRENT_WRITE, IDC_CURRENT_READ and
// IDC_POWER_SWITCH; every change of the box's text (OnCurrentTextChange), Enter in the box
// (OnCurrentEnter) and a left-button press on it (OnCurrentBoxPressed); every move of the slider
// by the user, whether by mouse, keys or wheel (OnSliderMoved).
class CLedDlg : public CPageDlg {
  public:
    CLedDlg(PageContext& context, LinkWorker& worker);

    void Attach(DialogView* view) { AttachView(view); }
    bool OnInitDialog() override;
    // Slider and box show value; m_lastPos follows.
    void ShowLedCurrent(uint8_t value);

    void OnLedSwitch();
    void OnWrite();
    void OnRead();
    void OnCurrentTextChange();
    void OnCurrentEnter();
    void OnCurrentBoxPressed();
    void OnSliderMoved(int position);
    void OnPowerSwitch();

    // The number the page last put to use: shown from the engine, set by the slider, or taken
    // from the box by Write or Enter. Typing alone does not change it.
    uint32_t m_nCurrent = 0;
    int m_bPowerOff = 0;
    int m_bLedOff = 0;
    uint16_t m_lastPos = 0;

  protected:
    // The switches, Write and Read are off while a request runs; the current controls follow
    // the LED switch.
    void UpdateControls() override;

  private:
    // The box <-> m_nCurrent, checked against 0..KQ_LED_CURRENT_MAX when reading the box.
    bool UpdateData(bool saveAndValidate);
    // The box's number where it is used (Write, Enter): prompts and gives nothing when it is not
    // a number in range.
    std::optional<uint8_t> CheckedCurrent();
    // Moves the slider for the program, not the user: the box is left as it is.
    void PlaceSlider(int position);
    void RangePrompt();
    void Prompt(const std::string& text);

    bool initQueryPending_ = false;
};

}  // namespace kq
