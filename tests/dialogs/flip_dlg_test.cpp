#include "dialogs/flip_dlg.h"

#include "res/resource.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

class FlipDlgTest : public DialogTest {
  protected:
    FlipDlgTest() {
        page_.Attach(&view_);
        page_.OnInitDialog();
    }
    // A click on a check box: the box toggles itself, then the page hears of it.
    void Tick(int id) {
        view_.Tick(id);
        id == IDC_FLIP_X ? page_.OnFlipX() : page_.OnFlipY();
    }
    void Apply() {
        page_.OnFlipDo();
        Settle();
    }

    FakeView view_{settings_};
    CFlipDlg page_{context_, worker_};
};

struct FlipCase {
    bool x, y;
    Bytes frame;
};

class FlipDlgFrames : public FlipDlgTest, public ::testing::WithParamInterface<FlipCase> {};

TEST_P(FlipDlgFrames, ApplySendsTheTickedMirroring) {
    Attach();
    if (GetParam().x) Tick(IDC_FLIP_X);
    if (GetParam().y) Tick(IDC_FLIP_Y);
    EXPECT_TRUE(NewPayloads().empty());  // ticking alone sends nothing
    Apply();
    EXPECT_EQ(engine_->frames().back(), GetParam().frame);
    EXPECT_TRUE(view_.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Mirroring, FlipDlgFrames,
    ::testing::Values(FlipCase{false, false, {0x07, 0x00, 0x09, 0x00, 0x01, 0x01, 0xDA}},
                      FlipCase{true, false, {0x07, 0x00, 0x09, 0x00, 0x02, 0x01, 0xD0}},
                      FlipCase{false, true, {0x07, 0x00, 0x09, 0x00, 0x03, 0x81, 0xD5}},
                      FlipCase{true, true, {0x07, 0x00, 0x09, 0x00, 0x04, 0x01, 0xC4}}),
    [](const ::testing::TestParamInfo<FlipCase>& param) {
        return std::string(param.param.x ? "X" : "") + (param.param.y ? "Y" : "") +
               (param.param.x || param.param.y ? "" : "Neither");
    });

TEST_F(FlipDlgTest, TickingBackAndForthSendsTheLastState) {
    Attach();
    Tick(IDC_FLIP_X);
    Tick(IDC_FLIP_Y);
    Tick(IDC_FLIP_X);
    Apply();
    EXPECT_EQ(NewPayloads().back(), (Bytes{0x09, 0x00, 0x03}));
    EXPECT_EQ(engine_->flipMode(), 3);
}

TEST_F(FlipDlgTest, WithoutTheApplicationNothingIsSent) {
    Tick(IDC_FLIP_X);
    Apply();
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{"The engine did not answer."});
    EXPECT_EQ(view_.messages[0].title, "Communication");
    EXPECT_EQ(page_.m_flipX, 1);  // the boxes stay for another try

    // An engine in its loader needs the upgrade, not a check of its cable.
    view_.messages.clear();
    Attach("mode=loader");
    Apply();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{Bytes{0xFE}}));
    EXPECT_EQ(view_.MessageTexts(),
              std::vector<std::string>{"The engine is in its loader: run the upgrade."});
}

TEST_F(FlipDlgTest, ReselectionShowsTheMembersAndApplyWaitsForTheLink) {
    Tick(IDC_FLIP_Y);
    view_.controls[IDC_FLIP_Y].checked = false;  // whatever the boxes show, the members win
    page_.OnInitDialog();
    EXPECT_TRUE(view_.IsChecked(IDC_FLIP_Y));
    EXPECT_FALSE(view_.IsChecked(IDC_FLIP_X));
    EXPECT_EQ(view_.translations, 2);

    page_.OnFlipDo();
    EXPECT_FALSE(view_.Get(IDC_FLIP_DO).enabled);
    Settle();
    EXPECT_TRUE(view_.Get(IDC_FLIP_DO).enabled);
}

}  // namespace
}  // namespace kq::test
