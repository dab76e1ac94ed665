#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "pages/page_dlg.h"

class QLineEdit;
class QSlider;

namespace Ui {
class LedPage;
}

namespace kq {

// The LED page: power and LED switches, and the LED current as a slider and a number box.
class CLedDlg : public CPageDlg {
    Q_OBJECT

  public:
    CLedDlg(PageContext& context, LinkWorker& worker);
    ~CLedDlg() override;

    bool OnInitDialog() override;
    // Slider and box 1004 show value; m_lastPos follows.
    void ShowLedCurrent(uint8_t value);

    void OnLedSwitch();
    void OnWrite();
    void OnRead();
    void OnCurrentTextChange();
    void OnCurrentEnter();
    void OnSliderMoved(int position);
    void OnPowerSwitch();

    QLineEdit* m_editCurrent;
    QSlider* m_sliderCurrent;
    uint32_t m_nCurrent = 0;
    int m_bPowerOff = 0;
    int m_bLedOff = 0;
    uint16_t m_lastPos = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The switches, Write and Read are off while a request runs; the current controls follow
    // the LED switch.
    void UpdateControls() override;

  private:
    // Box 1004 <-> m_nCurrent, checked against 0..100 when reading the box.
    bool UpdateData(bool saveAndValidate);
    // The box's number where it is used (Write, Enter): prompts and gives nothing when it is not
    // a number from 0 to 100.
    std::optional<uint8_t> CheckedCurrent();
    // Moves the slider for the program, not the user: the box is left as it is.
    void PlaceSlider(int position);
    void RangePrompt();
    void Prompt(const QString& text);

    std::unique_ptr<Ui::LedPage> ui_;
    bool initQueryPending_ = false;
};

}  // namespace kq
