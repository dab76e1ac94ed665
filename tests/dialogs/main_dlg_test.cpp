#include "dialogs/main_dlg.h"

#include <thread>

#include "res/resource.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

using Texts = std::vector<std::string>;

struct FakeMainView final : FakeControls<MainView> {
    using FakeControls::FakeControls;
    struct Page {
        bool created = false, fitted = false, shown = false, enabled = true;
    };
    void SetCaption(const std::string& text) override { caption = text; }
    void SetStatusParts(const std::vector<int>& edges) override { parts = edges; }
    void FitStatusPart(int, const std::vector<std::string>& texts) override { fitted = texts; }
    void SetStatusText(int part, const std::string& text) override { status[part] = text; }
    std::string GetStatusText(int part) const override { return status[part]; }
    void CreatePage(int id) override {
        pages[id].created = true;
        order.push_back(id);
    }
    void FitPage(int id) override { pages[id].fitted = pages[id].created; }
    void LayoutPage(int id) override { laidOut = id; }
    void ShowPage(int id, bool shown) override { pages[id].shown = shown; }
    void EnablePage(int id, bool enabled) override { pages[id].enabled = enabled; }
    void ShowBusy(bool b) override { busy.push_back(b); }
    void HideWindow() override {
        hidden = true;
        if (onHide) onHide();
    }
    std::function<void()> onHide;

    std::string caption;
    std::vector<int> parts;
    std::vector<std::string> fitted;
    std::string status[2];
    std::map<int, Page> pages;
    std::vector<int> order;
    int laidOut = 0;
    std::vector<bool> busy;
    bool hidden = false;
};

struct FakeSystemPage final : FakeControls<SystemView> {
    using FakeControls::FakeControls;
    void SetEnabled(int id, bool enabled) override {
        FakeControls::SetEnabled(id, enabled);
        if (onEnabled) onEnabled(id, enabled);
    }
    std::function<void(int id, bool enabled)> onEnabled;
};

class MainDlgTest : public DialogWorld {
  protected:
    ~MainDlgTest() override { window_.reset(); }

    CMainDlg& Window() {
        if (!window_) {
            window_ = std::make_unique<CMainDlg>(context_, &bus_);
            ui_ = std::make_unique<TestUiThread>(&window_->ui());
            window_->Attach(&view_);
            window_->m_ledPage.Attach(&led_);
            window_->m_systemPage.Attach(&system_);
            window_->m_flipPage.Attach(&flip_);
            led_.onChange = [this](int id) {
                if (id == IDC_CURRENT_EDIT) window_->m_ledPage.OnCurrentTextChange();
            };
            system_.onChange = [this](int id) {
                if (id == IDC_FILE_NAME) window_->m_systemPage.OnFileNameChange();
            };
            window_->OnInitDialog();
            Settle();
        }
        return *window_;
    }
    // The window's device work done and its results shown; hotplug notices arrive the same way.
    void Settle() {
        EXPECT_TRUE(ui_->RunUntil([this] { return !window_->worker().busy(); }));
    }
    Texts Tabs() {
        Window();
        return view_.Get(IDC_TAB).items;
    }
    void ExpectStatus(const std::string& part0, const std::string& part1, int present) {
        EXPECT_EQ(view_.status[0], part0);
        EXPECT_EQ(view_.status[1], part1);
        EXPECT_EQ(link_.DevicePresent, present);
    }
    void SelectTab(int index) {
        view_.Pick(IDC_TAB, index);
        Window().OnSelchangeTab();
        Settle();
    }
    // Starts an upgrade from the System page with small images beside the program.
    CSystemDlg& StartUpgrade(const char* engineSettings) {
        context_.programPath = ProgramDir() + "kq7300tool";
        WriteImage("usbloader.bin", Image(1024, 'L'));  // one block
        const std::string firmware = WriteImage("firmware.bin", Image(12288, 'F'));
        engine_ = Plug(engineSettings);
        CSystemDlg& page = Window().m_systemPage;
        Settle();  // its arrival, when the window was there before it
        system_.Type(IDC_FILE_NAME, firmware);
        page.OnUpgrade();
        Settle();  // the mode check before the upgrade, then the question before the start
        EXPECT_TRUE(ui_->RunUntil(
            [&] { return !system_.questions.empty() || page.m_pUpgradeThread == nullptr; }));
        return page;
    }
    // Lets the upgrade's worker end, and the check after it.
    bool WaitForUpgradeEnd(CSystemDlg& page) {
        return ui_->RunUntil([&] { return page.m_pUpgradeThread == nullptr; }) &&
               ui_->RunUntil([this] { return !window_->worker().busy(); });
    }
    static void WaitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    Texts AllMessages() const {
        Texts all;
        for (const auto* view : {&view_.messages, &led_.messages, &system_.messages}) {
            for (const Message& m : *view) all.push_back(m.text);
        }
        return all;
    }

    FakeMainView view_{settings_};
    FakeView led_{settings_};
    FakeSystemPage system_{settings_};
    FakeView flip_{settings_};
    // Starts an upgrade whose worker is held, from the question before the start on, in the
    // pause of its first loader block (the only one): it is in its loader phase until gate
    // opens. The waits for the restarts are restart's, or none.
    CSystemDlg& StartHeldInTheLoaderPhase(Gate& gate, Sleeper* restart = nullptr) {
        context_.upgradeWaits = restart ? restart : &sleeper_;
        system_.whileAsked = [this, &gate] {
            sleeper_.SetHook([&gate](int n) {
                if (n == 1) gate.Wait();
            });
        };
        CSystemDlg& page = StartUpgrade("reboot-ms=0");
        EXPECT_TRUE(gate.WaitEntered());
        return page;
    }

    std::unique_ptr<TestUiThread> ui_;
    std::unique_ptr<CMainDlg> window_;
};

struct TabCase {
    const char* config;
    Texts tabs;
};

class MainDlgTabs : public MainDlgTest, public ::testing::WithParamInterface<TabCase> {};

TEST_P(MainDlgTabs, FollowTheDialogSection) {
    if (*GetParam().config) WriteConfig(GetParam().config);
    EXPECT_EQ(Tabs(), GetParam().tabs);
}

INSTANTIATE_TEST_SUITE_P(
    Config, MainDlgTabs,
    ::testing::Values(TabCase{"", {"LED", "Flip", "System"}},
                      TabCase{"[themes]\nSolution=English\n", {"LED", "Flip", "System"}},
                      TabCase{"[dialog]\ndlg1=true\ndlg2=true\ndlg3=true\n",
                              {"LED", "Flip", "System"}},
                      TabCase{"[dialog]\ndlg3=true\ndlg1=true\n", {"System", "LED"}},
                      TabCase{"[dialog]\ndlg1=true\ndlg2=false\ndlg3=true\n", {"LED", "System"}},
                      TabCase{"[dialog]\ndlg1=TRUE\ndlg2=True\n", {"LED", "Flip", "System"}},
                      TabCase{"[dialog]\ndlg2=true\n", {"Flip"}},
                      TabCase{"[dialog]\nshow=true\nDLG1=true\n", {"LED", "Flip", "System"}},
                      TabCase{"[dialog]\ndlg2=true\ndlg2=true\ndlg1=true\n", {"Flip", "LED"}}));

// The pages are created in the order LED, System, Flip, each initialised before it is sized;
// then the first tab's page alone is shown, and the window is laid out around it.
TEST_F(MainDlgTest, InitialisationBuildsTheWindowInOrder) {
    WriteConfig("[dialog]\ndlg3=true\ndlg2=true\n");
    CMainDlg& window = Window();
    EXPECT_EQ(view_.order, (std::vector<int>{IDD_LED_DIALOG, IDD_SYSTEM_DIALOG, IDD_FLIP_DIALOG}));
    for (int id : view_.order) EXPECT_TRUE(view_.pages[id].fitted) << id;
    EXPECT_EQ(led_.translations, 1);
    EXPECT_EQ(view_.caption, "KQ7300");
    EXPECT_EQ(view_.parts, (std::vector<int>{120, -1}));
    EXPECT_EQ(view_.fitted, (Texts{" Connected", " Disconnected", " Not answering",
                                   " In its loader", " No permission"}));
    EXPECT_EQ(window.tabCount(), 2);
    EXPECT_EQ(view_.GetSelection(IDC_TAB), 0);
    EXPECT_EQ(view_.laidOut, IDD_SYSTEM_DIALOG);
    EXPECT_TRUE(view_.pages[IDD_SYSTEM_DIALOG].shown);
    EXPECT_FALSE(view_.pages[IDD_FLIP_DIALOG].shown);
    EXPECT_FALSE(view_.pages[IDD_LED_DIALOG].shown);

    SelectTab(1);
    EXPECT_EQ(window.m_curPage, 1);
    EXPECT_EQ(view_.laidOut, IDD_FLIP_DIALOG);
    EXPECT_TRUE(view_.pages[IDD_FLIP_DIALOG].shown);
    EXPECT_FALSE(view_.pages[IDD_SYSTEM_DIALOG].shown);
    EXPECT_EQ(flip_.translations, 2);
}

TEST_F(MainDlgTest, SelectingATabInitialisesItsPageAgain) {
    engine_ = bus_.Plug();  // attached from the start: the pages come before the device check
    Window();
    NewPayloads();
    SelectTab(1);
    EXPECT_TRUE(NewPayloads().empty());  // Flip re-initialises without the engine
    SelectTab(0);
    // The LED page's own first read happens now: the engine was not known at its creation.
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}, {0xFE}, {0x01, 0x01}}));
    SelectTab(1);
    SelectTab(0);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}}));
}

TEST_F(MainDlgTest, CaptionIsFixedWhateverTheLanguage) {
    UseLanguage("SimpChinese");
    EXPECT_EQ(Tabs(), (Texts{"灯光", "翻转", "系统"}));
    EXPECT_EQ(view_.caption, "KQ7300");
    EXPECT_EQ(view_.status[1], "产品 ID：XX-XX-XX-XX-XX-XX");
}

TEST_F(MainDlgTest, StartWithoutTheEngine) {
    Window();
    ExpectStatus("Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "0");
    EXPECT_TRUE(AllMessages().empty());
}

TEST_F(MainDlgTest, StartWithTheEngineShowsIdAndCurrent) {
    Plug("current=100");
    Window();
    ExpectStatus("Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "100");
    EXPECT_EQ(led_.GetPosition(IDC_CURRENT_SLIDER), 100);
    EXPECT_EQ(Window().m_ledPage.m_lastPos, 100);
    EXPECT_EQ(Window().m_systemPage.m_productId, "0A-1B-2C-3D-4E-5F");
}

TEST_F(MainDlgTest, ACurrentAboveTheMaximumIsNotShown) {
    Plug("current=101,product-id=00ff10a0b0c0d0e0");
    Window();
    EXPECT_EQ(view_.status[1], "Product ID: 00-FF-10-A0-B0-C0");
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "0");
    EXPECT_TRUE(AllMessages().empty());
}

TEST_F(MainDlgTest, AFailedIdQueryKeepsThePlaceholder) {
    Plug("fault=drop@2");  // mode, then the id
    Window();
    EXPECT_EQ(view_.status[0], "Connected");
    EXPECT_EQ(view_.status[1], "Product ID: XX-XX-XX-XX-XX-XX");
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "50");
}

TEST_F(MainDlgTest, RemovalAndArrivalRewriteTheStatusWithALeadingBlank) {
    auto engine = bus_.Plug();
    Window();
    bus_.Unplug(engine);
    Settle();
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(Window().m_systemPage.m_productId, "");

    bus_.Replug(engine);
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

TEST_F(MainDlgTest, AnEngineArrivingInItsLoaderCountsAsPresentWithoutId) {
    Window();
    Plug("mode=loader");
    Settle();
    ExpectStatus(" In its loader", "Product ID: XX-XX-XX-XX-XX-XX", 1);
}

TEST_F(MainDlgTest, ForeignNotificationsChangeNothing) {
    CMainDlg& window = Window();
    Plug("vid=1234");
    Plug("pid=0001");
    Settle();
    HotplugEvent stick{
        DeviceEventKind::Arrival, GUID_DEVINTERFACE_USB_DEVICE,
        "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#" + GUID_DEVINTERFACE_USB_DEVICE.ToString()};
    EXPECT_TRUE(window.OnDeviceChange(&stick));
    EXPECT_TRUE(window.OnDeviceChange(nullptr));
    Settle();
    EXPECT_EQ(view_.status[0], "Disconnected");
    EXPECT_EQ(link_.DevicePresent, 0);
}

TEST_F(MainDlgTest, NotificationsDuringAnUpgradeAreIgnored) {
    auto engine = bus_.Plug();
    CMainDlg& window = Window();
    window.m_systemPage.m_bUpgrading = true;
    bus_.Unplug(engine);
    const HotplugEvent removal{DeviceEventKind::Removal, EngineInterfaceClass,
                               VirtualBus::EnginePath(*engine)};
    EXPECT_TRUE(window.OnDeviceChange(&removal));  // told by the view, too
    Settle();
    ExpectStatus("Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

TEST_F(MainDlgTest, ArrivalShowsTheCurrentOnTheLedPageUnlessAboveTheMaximum) {
    Window();
    auto engine = Plug("current=37");
    Settle();
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "37");
    EXPECT_EQ(led_.GetPosition(IDC_CURRENT_SLIDER), 37);
    EXPECT_EQ(Window().m_ledPage.m_nCurrent, 37u);
    bus_.Unplug(engine);
    Plug("current=101");
    Settle();
    EXPECT_EQ(view_.status[0], " Connected");
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "37");
    EXPECT_EQ(led_.GetPosition(IDC_CURRENT_SLIDER), 37);
}

// The engine leaves and comes back twice during a real upgrade (into its loader and out).
TEST_F(MainDlgTest, AnUpgradesOwnRestartsDoNotReachTheStatusBar) {
    context_.upgradeWaits = &sleeper_;
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(system_.MessageTexts(), Texts{"FirmWareUpgrateSuccess"});
    // Only the check after the upgrade spoke: no notification (with its leading blank) got through.
    EXPECT_EQ(view_.status[0], "Connected");
    EXPECT_EQ(link_.DevicePresent, 1);
}

// The question names what stopping leaves behind; keeping on keeps everything, stopping ends the
// worker before the window goes, after the pause.
TEST_F(MainDlgTest, ClosingDuringAnUpgradeAsksAndEndsTheWorkerFirst) {
    // Real waits: the engine never returns, so the worker sits in 4 x 4 s after StartLoader.
    CSystemDlg& page = StartUpgrade("reboot-ms=0,fault=no-return");
    WaitFor([&] { return engine_->startLoaderCount() == 1; });
    ASSERT_EQ(engine_->startLoaderCount(), 1);
    WaitFor([&] { return page.upgradeStage() == UpgradeStage::WaitingForLoader; });

    view_.answer = Answer::Reject;  // "Keep upgrading"
    Window().OnCancel();
    EXPECT_FALSE(view_.hidden);
    EXPECT_FALSE(view_.ended);
    EXPECT_NE(page.m_pUpgradeThread, nullptr);
    ASSERT_EQ(view_.questions.size(), 1u);
    const Question& asked = view_.questions[0];
    EXPECT_EQ(asked.title, "Title");
    EXPECT_EQ(asked.text, "CloseDuringUpgrade");
    EXPECT_EQ(asked.acceptText, "StopAndClose");
    EXPECT_EQ(asked.rejectText, "KeepUpgrading");
    EXPECT_EQ(asked.defaultAnswer, Answer::Reject);

    view_.answer = Answer::Accept;  // "Stop and close"
    const auto pausedBefore = sleeper_.total();
    Window().OnCancel();
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(view_.ended, false);
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_EQ(view_.questions.size(), 2u);
    EXPECT_EQ(sleeper_.total() - pausedBefore, std::chrono::milliseconds(200));
    EXPECT_TRUE(system_.Get(IDC_RESTART).enabled);
    EXPECT_TRUE(view_.pages[IDD_LED_DIALOG].enabled);
}

TEST_F(MainDlgTest, ClosingBeforeTheLoaderIsWrittenSaysTheFirmwareStaysAsItWas) {
    Gate gate;
    CSystemDlg& page = StartHeldInTheLoaderPhase(gate);
    EXPECT_EQ(page.upgradeStage(), UpgradeStage::Loader);
    view_.answer = Answer::Reject;
    Window().OnCancel();
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.questions[0].text, "CloseBeforeLoader");
    sleeper_.SetHook({});
    gate.Open();
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(system_.MessageTexts(), Texts{"FirmWareUpgrateSuccess"});
}

// "Stop and close" while the question says the firmware stays as it was: the last loader block
// ends, and the engine is not told to leave its application.
TEST_F(MainDlgTest, StopAndCloseInTheLoaderPhaseKeepsTheEngineInItsApplication) {
    Gate gate;
    CSystemDlg& page = StartHeldInTheLoaderPhase(gate);
    view_.answer = Answer::Accept;
    view_.onHide = [&] { gate.Open(); };
    Window().OnCancel();
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_EQ(engine_->blockWrites().size(), 1u) << "the block in flight ended";
    EXPECT_EQ(engine_->startLoaderCount(), 0);
    EXPECT_EQ(engine_->mode(), EngineMode::App);
}

// While the question is open its words follow the upgrade; "Stop and close" then does what they
// say when it is pressed.
TEST_F(MainDlgTest, TheCloseQuestionFollowsTheUpgradeWhileItIsOpen) {
    GateSleeper restart;
    Gate gate;
    CSystemDlg& page = StartHeldInTheLoaderPhase(gate, &restart);
    view_.whileAsked = [&] {
        sleeper_.SetHook({});
        gate.Open();
        ASSERT_TRUE(restart.WaitEntered());  // StartLoader went out
        EXPECT_TRUE(ui_->RunUntil([&] { return !view_.openQuestion.texts.empty(); }));
    };
    view_.onHide = [&] { restart.Open(); };
    Window().OnCancel();
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.questions[0].text, "CloseBeforeLoader");
    EXPECT_EQ(view_.openQuestion.texts, Texts{"CloseDuringUpgrade"});
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_EQ(engine_->startLoaderCount(), 1);
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
}

// Pressed at the moment the upgrade moved on, before the words could follow: the answer was
// given to words that no longer hold, so the question is asked again with those that do.
TEST_F(MainDlgTest, AnAnswerToWordsThatNoLongerHoldIsAskedAgain) {
    GateSleeper restart;
    Gate gate;
    CSystemDlg& page = StartHeldInTheLoaderPhase(gate, &restart);
    view_.answer = Answer::Accept;
    view_.whileAsked = [&] {
        if (view_.questions.size() > 1) {
            view_.answer = Answer::Reject;  // "Keep upgrading" this time
            return;
        }
        sleeper_.SetHook({});
        gate.Open();
        ASSERT_TRUE(restart.WaitEntered());
    };
    Window().OnCancel();
    ASSERT_EQ(view_.questions.size(), 2u);
    EXPECT_EQ(view_.questions[1].text, "CloseDuringUpgrade");
    EXPECT_FALSE(view_.hidden);
    EXPECT_FALSE(page.m_bStopRequested);
    restart.Open();
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(system_.MessageTexts(), Texts{"FirmWareUpgrateSuccess"});
}

// Closing while the question before the start is open answers it with Cancel: nothing is written.
TEST_F(MainDlgTest, ClosingWhileTheUpgradeIsAskedForAnswersCancel) {
    context_.upgradeWaits = &sleeper_;
    context_.historyFile = dir_ / "history.jsonl";
    system_.whileAsked = [this] { window_->OnCancel(); };
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(view_.ended, false);
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_TRUE(view_.questions.empty()) << "nothing to ask: nothing was written";
    EXPECT_TRUE(engine_->blockWrites().empty());
    EXPECT_EQ(engine_->startLoaderCount(), 0);
    EXPECT_TRUE(AllMessages().empty());
    const auto history = ReadHistory(*context_.historyFile).entries;
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].outcome, "refused");
    EXPECT_EQ(history[0].reason, "the window was closed before it began");
}

// The status bar is looked at again before the result box: it never shows an engine that left.
TEST_F(MainDlgTest, TheStatusBarIsCheckedAgainBeforeTheResultBox) {
    context_.upgradeWaits = &sleeper_;
    std::string statusAtTheBox;
    system_.whileShown = [&] { statusAtTheBox = view_.status[0] + " / " + view_.status[1]; };
    // Requests: mode (check), mode, block size, a block's read, its write (the engine leaves).
    CSystemDlg& page = StartUpgrade("mode=loader,reboot-ms=0,fault=unplug@5");
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(system_.MessageTexts(), Texts{"FirmWareUpgrateFail\nFail.BlockTransfer"});
    EXPECT_EQ(statusAtTheBox, "Disconnected / Product ID: XX-XX-XX-XX-XX-XX");
}

// The System page names the connected engine's last upgrade, and after a run the new one before
// its box appears.
TEST_F(MainDlgTest, TheSystemPageShowsTheConnectedEnginesLastUpgrade) {
    context_.upgradeWaits = &sleeper_;
    context_.historyFile = dir_ / "history.jsonl";
    HistoryEntry earlier;
    earlier.time = "2026-01-02T03:04:05+00:00";
    earlier.serial = "0002a0000000";
    earlier.productId = "0A-1B-2C-3D-4E-5F";
    earlier.place = "virtual-1";
    earlier.image = "old.enc";
    earlier.outcome = "failure";
    std::string error;
    ASSERT_TRUE(AppendHistory(*context_.historyFile, earlier, error)) << error;
    auto engine = bus_.Plug();
    Window();
    EXPECT_EQ(system_.GetText(IDC_LAST_UPGRADE), "Last: 2026-01-02 03:04, old.enc, LastFailure");
    bus_.Unplug(engine);
    Settle();
    EXPECT_EQ(system_.GetText(IDC_LAST_UPGRADE), "");

    std::string lineAtTheBox;
    system_.whileShown = [&] { lineAtTheBox = system_.GetText(IDC_LAST_UPGRADE); };
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(lineAtTheBox.rfind("Last: ", 0), 0u) << lineAtTheBox;
    EXPECT_NE(lineAtTheBox.find(", firmware.bin, LastSuccess"), std::string::npos) << lineAtTheBox;
}

// Once the engine has been told to finish, closing has nothing left to stop and does not ask.
TEST_F(MainDlgTest, ClosingWhileTheEngineFinishesDoesNotAsk) {
    // Real waits: the worker sits in the 3 s after FinishUpgrade, which closing cuts short.
    CSystemDlg& page = StartUpgrade("mode=loader,reboot-ms=0");
    WaitFor([&] { return page.upgradeStage() == UpgradeStage::Finishing; });
    ASSERT_EQ(page.upgradeStage(), UpgradeStage::Finishing);
    Window().OnCancel();
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(view_.ended, false);
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_TRUE(view_.questions.empty());
    EXPECT_TRUE(AllMessages().empty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
}

TEST_F(MainDlgTest, ClosingWithoutAnUpgradePausesThenEnds) {
    Window();
    Window().OnCancel();
    EXPECT_TRUE(view_.questions.empty());
    EXPECT_TRUE(view_.hidden);
    EXPECT_EQ(view_.ended, false);
    EXPECT_EQ(sleeper_.total(), std::chrono::milliseconds(200));
}

// Part 0 of the status bar says what the engine is doing; part 1 keeps its rules.
TEST_F(MainDlgTest, TheStatusBarTellsWhatTheEngineIsDoing) {
    auto mute = Plug("mode=mute");
    Window();
    ExpectStatus("Not answering", "Product ID: XX-XX-XX-XX-XX-XX", 1);
    bus_.Unplug(mute);
    Settle();
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    auto loader = Plug("mode=loader");
    Settle();
    ExpectStatus(" In its loader", "Product ID: XX-XX-XX-XX-XX-XX", 1);
    bus_.Unplug(loader);
    bus_.Plug();
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_TRUE(AllMessages().empty());
}

// An engine this user may not open: said in the status bar, with the fix once per arrival.
TEST_F(MainDlgTest, NoPermissionIsShownWithItsFixOncePerArrival) {
    auto engine = bus_.Plug();
    bus_.Configure(engine, [](VirtualBus::Slot& s) { s.openError = OpenError::NoPermission; });
    CMainDlg& window = Window();
    ExpectStatus("No permission", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(view_.MessageTexts(), Texts{"Install the udev rule, then plug the engine in again."});
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(view_.messages[0].title, "NoPermissionTitle");

    const HotplugEvent arrival{DeviceEventKind::Arrival, EngineInterfaceClass,
                               VirtualBus::EnginePath(*engine)};
    window.OnDeviceChange(&arrival);  // the same arrival told twice
    Settle();
    ExpectStatus(" No permission", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(view_.messages.size(), 1u);

    bus_.Unplug(engine);
    bus_.Replug(engine);
    Settle();
    EXPECT_EQ(view_.status[0], " No permission");
    EXPECT_EQ(view_.messages.size(), 2u) << "a new arrival tells the fix again";

    bus_.Unplug(engine);
    bus_.Configure(engine, [](VirtualBus::Slot& s) { s.openError = OpenError::None; });
    bus_.Replug(engine);
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

// A stopped upgrade leaves the engine in its loader: LED and Flip are off while it runs, and
// afterwards the status bar and the page actions say so.
TEST_F(MainDlgTest, DuringAndAfterAStoppedUpgrade) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(gate.WaitEntered());  // after StartLoader
    Settle();
    EXPECT_FALSE(view_.pages[IDD_LED_DIALOG].enabled);
    EXPECT_FALSE(view_.pages[IDD_FLIP_DIALOG].enabled);
    EXPECT_TRUE(view_.pages[IDD_SYSTEM_DIALOG].enabled);

    page.OnStop();
    gate.Open();
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(view_.status[0], "In its loader");
    EXPECT_EQ(view_.status[1], "Product ID: XX-XX-XX-XX-XX-XX") << "the id was the application's";
    EXPECT_TRUE(view_.pages[IDD_LED_DIALOG].enabled);
    EXPECT_TRUE(view_.pages[IDD_FLIP_DIALOG].enabled);

    Window().m_ledPage.OnRead();
    Settle();
    EXPECT_EQ(led_.MessageTexts(), Texts{"The engine is in its loader: run the upgrade."});
    EXPECT_EQ(led_.messages[0].title, "InLoaderTitle") << "no communication error";
}

// Two engines: the one in use stays in use while another comes and goes.
TEST_F(MainDlgTest, AnotherEnginesComingAndGoingLeavesTheLinkAlone) {
    auto first = Plug("current=11");
    Window();
    const std::string inUse = link_.devicePath();
    auto second = Plug("product-id=1111111111111111,current=22");
    Settle();
    EXPECT_EQ(link_.devicePath(), inUse);
    EXPECT_EQ(view_.status[1], "Product ID: 0A-1B-2C-3D-4E-5F");
    bus_.Unplug(second);
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(link_.devicePath(), inUse);
    Window().m_ledPage.OnRead();
    Settle();
    EXPECT_TRUE(AllMessages().empty());
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "11");
}

// Engines of one serial under one path, as a backend names them that names an engine by its
// serial alone: the place tells them apart.
TEST_F(MainDlgTest, AnotherEnginesRemovalUnderTheSamePathLeavesTheLinkAlone) {
    auto first = Plug("current=11");
    Window();
    auto second = Plug("product-id=1111111111111111,current=22");
    bus_.Configure(second, [](VirtualBus::Slot& slot) { slot.instance = "0002a0000000"; });
    Settle();
    bus_.Unplug(second);
    Settle();
    EXPECT_EQ(link_.devicePlace(), "virtual-1");
    EXPECT_EQ(link_.DevicePresent, 1);
    EXPECT_EQ(view_.status[1], "Product ID: 0A-1B-2C-3D-4E-5F");
    EXPECT_TRUE(AllMessages().empty());
}

// When the engine in use leaves, the window takes the other one, as at start-up, and says so.
TEST_F(MainDlgTest, WhenTheEngineInUseLeavesTheWindowTakesTheOtherAndSaysWhich) {
    auto first = Plug("current=11");
    auto second = Plug("product-id=1111111111111111,current=22");
    bus_.Configure(second, [](VirtualBus::Slot& slot) { slot.instance = "0002a0000000"; });
    Window();
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "11");
    bus_.Unplug(first);
    Settle();
    ExpectStatus(" Connected", "Product ID: 11-11-11-11-11-11", 1);
    EXPECT_EQ(view_.MessageTexts(), Texts{"Now 0002a0000000 at virtual-2."});
    EXPECT_EQ(view_.messages[0].title, "EngineChangedTitle");
    EXPECT_EQ(Window().m_systemPage.m_productId, "11-11-11-11-11-11");
    engine_ = second;
    NewPayloads();
    Window().m_ledPage.OnRead();
    Settle();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}, {0x01, 0x01}}));
    EXPECT_EQ(led_.GetText(IDC_CURRENT_EDIT), "22");
    EXPECT_EQ(led_.messages.size(), 0u);
}

// A message that comes after the user chose another tab names the page it is about.
TEST_F(MainDlgTest, AFailureAfterAnotherTabWasChosenNamesItsPage) {
    Window();
    Gate gate;
    HoldWorker(Window().worker(), gate);
    Window().m_ledPage.OnRead();  // no engine: it will fail
    view_.Pick(IDC_TAB, 2);
    Window().OnSelchangeTab();
    gate.Open();
    Settle();
    ASSERT_EQ(led_.messages.size(), 1u);
    EXPECT_EQ(led_.messages[0].title, "LED — Communication");
    SelectTab(0);
    Window().m_ledPage.OnRead();
    Settle();
    ASSERT_EQ(led_.messages.size(), 2u);
    EXPECT_EQ(led_.messages[1].title, "Communication") << "its own page needs no name";
}

// Arrival and removal while a request runs are shown after it, in order; the request that loses
// its engine ends in the usual message. The view is told busy at once and idle at the end.
TEST_F(MainDlgTest, ArrivalAndRemovalDuringARequestAreShownInOrder) {
    Gate gate;
    CMainDlg& window = Window();
    view_.busy.clear();
    HoldWorker(Window().worker(), gate);
    auto engine = bus_.Plug();
    ui_->queue().RunPending();
    EXPECT_EQ(view_.status[0], "Disconnected") << "not before the request in flight is done";
    EXPECT_FALSE(led_.Get(IDC_CURRENT_READ).enabled) << "no second request";
    EXPECT_EQ(view_.busy, std::vector<bool>{true});
    gate.Open();
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(view_.busy, (std::vector<bool>{true, false}));

    Gate second;
    HoldWorker(Window().worker(), second);
    window.m_ledPage.OnRead();  // queued behind the held request
    bus_.Unplug(engine);
    ui_->queue().RunPending();
    second.Open();
    Settle();
    EXPECT_EQ(led_.MessageTexts(), Texts{"The engine did not answer."});
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
}

// Going away while a request runs: the request in flight is let finish, what was queued behind
// it is never sent nor shown.
TEST_F(MainDlgTest, ShuttingDownWhileARequestRuns) {
    engine_ = bus_.Plug();
    Gate gate;
    CMainDlg& window = Window();
    NewPayloads();
    HoldWorker(Window().worker(), gate);
    window.m_ledPage.OnRead();
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.Open();
    });
    window_.reset();
    opener.join();
    EXPECT_TRUE(NewPayloads().empty());
    EXPECT_TRUE(AllMessages().empty());
}

}  // namespace
}  // namespace kq::test
