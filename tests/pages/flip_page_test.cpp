#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include "pages/qt_flip_page.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class FlipPageTest : public WindowTest {
  protected:
    QtFlipPage& Page() {
        page_.Create(&parent_);
        page_.show();
        return page_;
    }
    void Tick(int id) { QTest::mouseClick(FindControl<QCheckBox>(&page_, id), Qt::LeftButton); }
    void Apply() {
        FindControl<QPushButton>(&page_, IDC_FLIP_DO)->click();
        EXPECT_TRUE(WaitForWorker(linkWorker_));
    }

    CFlipDlg logic_{context_, linkWorker_};
    QWidget parent_;
    QtFlipPage page_{logic_, services_};
};

TEST_F(FlipPageTest, ApplySendsTheTickedMirroring) {
    Attach();
    Page();
    Tick(IDC_FLIP_X);
    EXPECT_TRUE(NewPayloads().empty());  // ticking alone sends nothing
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0}));
    Tick(IDC_FLIP_Y);
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x04, 0x01, 0xC4}));
    Tick(IDC_FLIP_X);
    Tick(IDC_FLIP_Y);
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x01, 0x01, 0xDA}));
    Tick(IDC_FLIP_Y);
    Apply();
    EXPECT_EQ(NewPayloads().back(), (Bytes{0x09, 0x00, 0x03}));
    EXPECT_EQ(engine_->flipMode(), 3);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(FlipPageTest, ReselectionKeepsTheBoxesAndTheirTexts) {
    QtFlipPage& page = Page();
    Tick(IDC_FLIP_Y);
    logic_.OnInitDialog();
    EXPECT_TRUE(FindControl<QCheckBox>(&page, IDC_FLIP_Y)->isChecked());
    EXPECT_FALSE(FindControl<QCheckBox>(&page, IDC_FLIP_X)->isChecked());
    EXPECT_EQ(FindControl<QCheckBox>(&page, IDC_FLIP_X)->text(), "x");
    EXPECT_EQ(FindControl<QPushButton>(&page, IDC_FLIP_DO)->text(), "do");
}

}  // namespace
}  // namespace kq::test
