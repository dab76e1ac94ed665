#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include "pages/flip_dlg.h"
#include "pages/window_tools.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

class FlipPageTest : public WindowTest {
  protected:
    CFlipDlg& Page() {
        page_.Create(&parent_);
        page_.show();
        return page_;
    }
    void Tick(int id) { QTest::mouseClick(FindControl<QCheckBox>(&page_, id), Qt::LeftButton); }
    void Apply() {
        FindControl<QPushButton>(&page_, 1070)->click();
        EXPECT_TRUE(WaitForWorker(linkWorker_));
    }

    QWidget parent_;
    CFlipDlg page_{context_, linkWorker_};
};

TEST_F(FlipPageTest, ApplySendsTheTickedMirroring) {
    Attach();
    Page();
    Tick(1068);
    EXPECT_TRUE(NewPayloads().empty());  // ticking alone sends nothing
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0}));
    Tick(1069);
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x04, 0x01, 0xC4}));
    Tick(1068);
    Tick(1069);
    Apply();
    EXPECT_EQ(engine_->frames().back(), (Bytes{0x07, 0x00, 0x09, 0x00, 0x01, 0x01, 0xDA}));
    Tick(1069);
    Apply();
    EXPECT_EQ(NewPayloads().back(), (Bytes{0x09, 0x00, 0x03}));
    EXPECT_EQ(engine_->flipMode(), 3);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(FlipPageTest, WithoutTheApplicationNothingIsSent) {
    CFlipDlg& page = Page();
    Tick(1068);
    Apply();
    EXPECT_EQ(MessageTexts(), QStringList{"The engine did not answer."});
    EXPECT_EQ(messages_.shown[0].title, "Communication");
    EXPECT_EQ(page.m_flipX, 1);  // the boxes stay for another try

    // An engine in its loader needs the upgrade, not a check of its cable.
    messages_.shown.clear();
    Attach("mode=loader");
    Apply();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{Bytes{0xFE}}));
    EXPECT_EQ(MessageTexts(), QStringList{"The engine is in its loader: run the upgrade."});
}

TEST_F(FlipPageTest, ReselectionKeepsTheBoxesAndTheirTexts) {
    CFlipDlg& page = Page();
    Tick(1069);
    page.OnInitDialog();
    EXPECT_TRUE(FindControl<QCheckBox>(&page, 1069)->isChecked());
    EXPECT_FALSE(FindControl<QCheckBox>(&page, 1068)->isChecked());
    EXPECT_EQ(FindControl<QCheckBox>(&page, 1068)->text(), "x");
    EXPECT_EQ(FindControl<QPushButton>(&page, 1070)->text(), "do");
}

}  // namespace
}  // namespace kq::testing
