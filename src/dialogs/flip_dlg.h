#pragma once

#include "dialogs/page_dlg.h"

namespace kq {

// The Flip page: two check boxes (IDC_FLIP_X, IDC_FLIP_Y) and a button (IDC_FLIP_DO) that sends
// the mirroring they describe. Its view reports the clicks of all three.
class CFlipDlg : public CPageDlg {
  public:
    CFlipDlg(PageContext& context, LinkWorker& worker);

    void Attach(DialogView* view) { AttachView(view); }
    bool OnInitDialog() override;
    void OnFlipDo();
    void OnFlipX();
    void OnFlipY();

    int m_flipX = 0;
    int m_flipY = 0;

  protected:
    // Apply is off while a request runs.
    void UpdateControls() override;
};

}  // namespace kq
