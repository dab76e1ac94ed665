#pragma once

#include <memory>

#include "pages/page_dlg.h"

namespace Ui {
class FlipPage;
}

namespace kq {

// The Flip page: two check boxes and a button that sends the mirroring they describe.
class CFlipDlg : public CPageDlg {
    Q_OBJECT

  public:
    CFlipDlg(PageContext& context, LinkWorker& worker);
    ~CFlipDlg() override;

    bool OnInitDialog() override;
    void OnFlipDo();
    void OnFlipX();
    void OnFlipY();

    int m_flipX = 0;
    int m_flipY = 0;

  protected:
    // Apply is off while a request runs.
    void UpdateControls() override;

  private:
    std::unique_ptr<Ui::FlipPage> ui_;
};

}  // namespace kq
