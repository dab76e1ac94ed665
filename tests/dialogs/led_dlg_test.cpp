#include "dialogs/led_dlg.h"

#include "res/resource.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

const Bytes kMode{0xFE};
const Bytes kReadCurrent{0x01, 0x01};
const std::string kNoAnswer = "The engine did not answer.";
const std::string kInLoader = "The engine is in its loader: run the upgrade.";

class LedDlgTest : public DialogTest {
  protected:
    LedDlgTest() {
        view_.onChange = [this](int id) {
            if (id == IDC_CURRENT_EDIT) page_.OnCurrentTextChange();
        };
        page_.Attach(&view_);
    }
    // The page as the main window creates it: initialised once, its requests answered.
    CLedDlg& Page() {
        if (!initialised_) {
            initialised_ = true;
            page_.OnInitDialog();
            Settle();
        }
        return page_;
    }
    void Click(void (CLedDlg::*handler)()) {
        (Page().*handler)();
        Settle();
    }
    void Reselect() {
        page_.OnInitDialog();
        Settle();
    }
    std::string Box() const { return view_.GetText(IDC_CURRENT_EDIT); }
    int Slider() const { return view_.GetPosition(IDC_CURRENT_SLIDER); }
    bool Enabled(int id) const { return view_.Get(id).enabled; }

    FakeView view_{settings_};
    CLedDlg page_{context_, worker_};
    bool initialised_ = false;
};

TEST_F(LedDlgTest, FirstInitWithoutEngineShowsZeroAndSendsNothing) {
    Page();
    EXPECT_EQ(Box(), "0");
    EXPECT_EQ(view_.Get(IDC_CURRENT_SLIDER).high, KQ_LED_CURRENT_MAX);
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_TRUE(flags_.g_bLedPageReadPending);
    EXPECT_FALSE(flags_.g_bLedPageFirstInit);
}

TEST_F(LedDlgTest, FirstInitInApplicationModeReadsTheCurrentOnce) {
    Attach("current=37");
    CLedDlg& page = Page();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, kMode, kReadCurrent}));
    EXPECT_EQ(Box(), "37");
    EXPECT_EQ(Slider(), 37);
    EXPECT_EQ(page.m_lastPos, 37);
    EXPECT_EQ(page.m_nCurrent, 37u);
    EXPECT_FALSE(flags_.g_bLedPageReadPending);

    Reselect();  // the tab selected again: the mode query only
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode}));
    EXPECT_EQ(view_.translations, 2);
}

TEST_F(LedDlgTest, ReadIsPostponedWhileTheEngineRunsItsLoader) {
    Attach("mode=loader");
    Page();
    EXPECT_TRUE(flags_.g_bLedPageReadPending);
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(LedDlgTest, LedSwitchTogglesLabelAndCurrentControls) {
    Attach();
    CLedDlg& page = Page();
    NewPayloads();

    Click(&CLedDlg::OnLedSwitch);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x02, 0x00}}));
    EXPECT_EQ(page.m_bLedOff, 1);
    EXPECT_EQ(view_.Get(IDC_LED_SWITCH).key, "Led.On");
    EXPECT_EQ(view_.GetText(IDC_LED_SWITCH), "Switch on");
    for (int id : {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_FALSE(engine_->ledOn());

    Reselect();  // re-selecting the tab keeps the label
    EXPECT_EQ(view_.Get(IDC_LED_SWITCH).key, "Led.On");

    Click(&CLedDlg::OnLedSwitch);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, kMode, Bytes{0x02, 0x01}}));
    EXPECT_EQ(view_.GetText(IDC_LED_SWITCH), "Switch off");
    for (int id : {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
        EXPECT_TRUE(Enabled(id)) << id;
    }
}

TEST_F(LedDlgTest, FailedLedSwitchChangesNothing) {
    Attach();
    CLedDlg& page = Page();
    bus_.Unplug(engine_);  // DevicePresent still set: the commands go out and fail

    Click(&CLedDlg::OnLedSwitch);
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{kNoAnswer});
    EXPECT_EQ(view_.messages[0].title, "Communication");
    EXPECT_EQ(page.m_bLedOff, 0);
    EXPECT_EQ(view_.Get(IDC_LED_SWITCH).key, "");  // still the template's "Led.Off"
    EXPECT_TRUE(Enabled(IDC_CURRENT_WRITE));
}

TEST_F(LedDlgTest, InTheLoaderTheLedSwitchSendsButPowerDoesNot) {
    Attach("mode=loader");
    CLedDlg& page = Page();
    NewPayloads();

    Click(&CLedDlg::OnLedSwitch);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x02, 0x00}}));
    EXPECT_TRUE(view_.messages.empty());

    // What needs the application sends nothing past the mode query and asks for the upgrade.
    Click(&CLedDlg::OnLedSwitch);
    NewPayloads();
    Click(&CLedDlg::OnPowerSwitch);
    Click(&CLedDlg::OnRead);
    view_.Type(IDC_CURRENT_EDIT, "65");
    Click(&CLedDlg::OnWrite);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, kMode, kMode}));
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>(3, kInLoader));
    EXPECT_EQ(view_.messages[0].title, "InLoaderTitle") << "an engine in its loader answers";
    EXPECT_EQ(page.m_bPowerOff, 0);
    EXPECT_EQ(Slider(), 0);
}

// No valid answer is no loader: the message stays the communication failure.
TEST_F(LedDlgTest, AnEngineThatDoesNotAnswerIsACommunicationFailure) {
    Attach("mode=mute");
    Page();
    for (auto handler : {&CLedDlg::OnPowerSwitch, &CLedDlg::OnRead, &CLedDlg::OnWrite}) {
        Click(handler);
    }
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>(3, kNoAnswer));
    EXPECT_TRUE(flags_.g_bLedPageReadPending);
}

TEST_F(LedDlgTest, PowerSwitchSendsOffThenOn) {
    Attach();
    CLedDlg& page = Page();
    NewPayloads();
    Click(&CLedDlg::OnPowerSwitch);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x03, 0x02}}));
    EXPECT_EQ(view_.GetText(IDC_POWER_SWITCH), "Switch on");
    EXPECT_EQ(page.m_bPowerOff, 1);
    EXPECT_TRUE(Enabled(IDC_CURRENT_WRITE));  // power leaves the controls alone
    Click(&CLedDlg::OnPowerSwitch);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x03, 0x01}}));
    EXPECT_EQ(view_.GetText(IDC_POWER_SWITCH), "Switch off");
}

TEST_F(LedDlgTest, NoEngineMeansMessageAndOnlyTheGate) {
    CLedDlg& page = Page();
    for (auto handler :
         {&CLedDlg::OnLedSwitch, &CLedDlg::OnWrite, &CLedDlg::OnRead, &CLedDlg::OnPowerSwitch}) {
        Click(handler);
    }
    EXPECT_EQ(view_.messages.size(), 4u);
    EXPECT_EQ(page.m_bLedOff, 0);
    EXPECT_EQ(page.m_bPowerOff, 0);
}

TEST_F(LedDlgTest, WriteSendsTheBoxAndMovesTheSlider) {
    Attach();
    CLedDlg& page = Page();
    NewPayloads();
    view_.Type(IDC_CURRENT_EDIT, "65");
    Click(&CLedDlg::OnWrite);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 65}}));
    EXPECT_EQ(Slider(), 65);
    EXPECT_EQ(page.m_lastPos, 65);
    EXPECT_EQ(engine_->current(), 65);
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(LedDlgTest, WriteAboveTheMaximumSendsNothingAndShowsTheRangePrompt) {
    Attach();
    Page();
    NewPayloads();
    view_.Type(IDC_CURRENT_EDIT, "150");
    EXPECT_TRUE(view_.messages.empty()) << "typing is not interrupted";
    Click(&CLedDlg::OnWrite);
    EXPECT_TRUE(NewPayloads().empty());
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{"Enter a number from 0 to 100."});
    EXPECT_EQ(view_.messages[0].title, "Invalid input");
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(view_.focus, IDC_CURRENT_EDIT);
    EXPECT_EQ(Slider(), 50);
    EXPECT_EQ(Box(), "150");
}

// The box can be edited freely; its number is checked where it is used: Write and Enter.
TEST_F(LedDlgTest, TheBoxIsCheckedWhenItsNumberIsUsed) {
    Attach();
    CLedDlg& page = Page();  // read 50
    view_.Type(IDC_CURRENT_EDIT, "");
    page.OnCurrentBoxPressed();
    EXPECT_EQ(Slider(), 50) << "an emptied box moves the slider nowhere";
    page.OnCurrentEnter();
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{"Enter a whole number."});
    EXPECT_EQ(Box(), "50") << "the last good number comes back";
    EXPECT_GE(view_.selections, 1);

    view_.messages.clear();
    view_.Type(IDC_CURRENT_EDIT, "007");
    page.OnCurrentEnter();
    EXPECT_EQ(Box(), "7");
    EXPECT_EQ(Slider(), 7);
    EXPECT_EQ(page.m_nCurrent, 7u);
    EXPECT_EQ(page.m_lastPos, 7);
    EXPECT_TRUE(view_.messages.empty());

    view_.Type(IDC_CURRENT_EDIT, "150");
    EXPECT_EQ(page.m_nCurrent, 7u) << "a number out of range is kept in the box only";
    page.OnCurrentEnter();
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{"Enter a number from 0 to 100."});
    EXPECT_EQ(Box(), "150");
    EXPECT_EQ(Slider(), 7);
    EXPECT_EQ(NewPayloads().size(), 3u) << "Enter sends nothing";
}

// What is typed is used only when Write or Enter takes it: "150" typed one key at a time passes
// through "15", which must not become the current; the prompts bring back what was last used.
TEST_F(LedDlgTest, AHalfTypedNumberIsNeverTaken) {
    Attach();
    CLedDlg& page = Page();  // read 50
    NewPayloads();
    for (const char* typed : {"1", "15", "150"}) view_.Type(IDC_CURRENT_EDIT, typed);
    EXPECT_EQ(page.m_nCurrent, 50u);
    Reselect();  // a tab round trip shows what was really used
    EXPECT_EQ(Box(), "50");

    for (const char* typed : {"1", "15", "150"}) view_.Type(IDC_CURRENT_EDIT, typed);
    Click(&CLedDlg::OnWrite);
    EXPECT_EQ(view_.MessageTexts(), std::vector<std::string>{"Enter a number from 0 to 100."});
    view_.Type(IDC_CURRENT_EDIT, "");
    Click(&CLedDlg::OnWrite);
    EXPECT_EQ(view_.MessageTexts().back(), "Enter a whole number.");
    EXPECT_EQ(Box(), "50") << "the last value really used";
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode}))
        << "only the tab's mode query: neither Write sent a current";

    for (const char* typed : {"6", "65"}) view_.Type(IDC_CURRENT_EDIT, typed);
    Click(&CLedDlg::OnWrite);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 65}}));
    EXPECT_EQ(page.m_nCurrent, 65u);
    Reselect();
    EXPECT_EQ(Box(), "65");
}

TEST_F(LedDlgTest, ReadOutOfRangeWarnsAndKeepsTheShownCurrent) {
    Attach("current=101");
    Page();
    EXPECT_EQ(view_.MessageTexts(),
              std::vector<std::string>{"The engine reported an impossible current."});
    EXPECT_EQ(Box(), "0");
    EXPECT_EQ(Slider(), 0);
}

// A press on the slider that moves nothing leaves the box alone; a press on the box moves the
// slider to its number without m_lastPos; the user's next move reaches the box in any case.
TEST_F(LedDlgTest, SliderAndBoxFollowTheUser) {
    CLedDlg& page = Page();
    page.ShowLedCurrent(50);
    view_.Type(IDC_CURRENT_EDIT, "20");
    EXPECT_EQ(Slider(), 50);
    page.OnCurrentBoxPressed();
    EXPECT_EQ(Slider(), 20);
    EXPECT_EQ(page.m_lastPos, 50);
    page.OnSliderMoved(50);  // back to where it last stood
    EXPECT_EQ(Box(), "50");
    EXPECT_EQ(page.m_lastPos, 50);
    page.OnSliderMoved(61);
    EXPECT_EQ(Box(), "61");
    EXPECT_EQ(page.m_nCurrent, 61u);
    EXPECT_EQ(page.m_lastPos, 61);
}

// The slider stays usable while Write's request runs; a move made then is not taken back by its
// answer, so slider and box still agree.
TEST_F(LedDlgTest, ASliderMoveDuringWriteIsKept) {
    Attach();
    CLedDlg& page = Page();
    NewPayloads();
    view_.Type(IDC_CURRENT_EDIT, "20");
    page.OnWrite();
    view_.SetPosition(IDC_CURRENT_SLIDER, 60);
    page.OnSliderMoved(60);
    Settle();
    EXPECT_EQ(Slider(), 60);
    EXPECT_EQ(Box(), "60");
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 20}}));
}

TEST_F(LedDlgTest, TheSwitchesAndButtonsAreOffWhileARequestRuns) {
    Attach();
    CLedDlg& page = Page();
    page.OnRead();
    for (int id : {IDC_LED_SWITCH, IDC_POWER_SWITCH, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_TRUE(Enabled(IDC_CURRENT_SLIDER));
    Settle();
    for (int id : {IDC_LED_SWITCH, IDC_POWER_SWITCH, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
        EXPECT_TRUE(Enabled(id)) << id;
    }
}

// A result for a page that is gone is dropped, and no second mode query of the page's own is
// asked while one is on its way.
TEST_F(LedDlgTest, APageThatIsGoneGetsNoResults) {
    Attach();
    auto page = std::make_unique<CLedDlg>(context_, worker_);
    FakeView view(settings_);
    page->Attach(&view);
    page->OnInitDialog();
    page->OnInitDialog();
    page.reset();
    Settle();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode}));
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.GetText(IDC_CURRENT_EDIT), "0");
}

}  // namespace
}  // namespace kq::test
