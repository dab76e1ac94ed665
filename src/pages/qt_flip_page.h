#pragma once

#include <memory>

#include "dialogs/flip_dlg.h"
#include "pages/qt_page.h"
#include "pages/qt_view.h"

namespace Ui {
class FlipPage;
}

namespace kq {

// The Flip page's widgets over its logic.
class QtFlipPage : public QtView<QtPage, DialogView> {
  public:
    QtFlipPage(CFlipDlg& logic, QtServices& services);
    ~QtFlipPage() override;

    CFlipDlg& logic() { return logic_; }

  private:
    CFlipDlg& logic_;
    std::unique_ptr<Ui::FlipPage> ui_;
};

}  // namespace kq
