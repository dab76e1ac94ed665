#pragma once

#include <memory>

#include "dialogs/led_dlg.h"
#include "pages/qt_page.h"
#include "pages/qt_view.h"

class QLineEdit;
class QSlider;

namespace Ui {
class LedPage;
}

namespace kq {

// The LED page's widgets over its logic.
class QtLedPage : public QtView<QtPage, DialogView> {
  public:
    QtLedPage(CLedDlg& logic, QtServices& services);
    ~QtLedPage() override;

    CLedDlg& logic() { return logic_; }
    // Also keeps room in both switches for the longer of their two labels.
    void TranslateWindow() override;

    QLineEdit* m_editCurrent;
    QSlider* m_sliderCurrent;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    CLedDlg& logic_;
    std::unique_ptr<Ui::LedPage> ui_;
};

}  // namespace kq
