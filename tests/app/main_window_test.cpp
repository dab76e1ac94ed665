#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <QThread>
#include <fstream>
#include <thread>

#include "app/main_dlg.h"
#include "app/tab_ctrl.h"
#include "pages/system_dlg.h"
#include "pages/window_tools.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

class MainWindowTest : public WindowTest {
  protected:
    CMainDlg& Window() {
        if (!window_) {
            window_ = std::make_unique<CMainDlg>(context_, &bus_);
            window_->OnInitDialog();
            window_->show();
            Settle();
        }
        return *window_;
    }
    // The window's device work done and its results shown.
    void Settle() { EXPECT_TRUE(WaitForWorker(window_->worker())); }
    QStringList Tabs() {
        QStringList tabs;
        for (int i = 0; i < Window().m_tab->GetItemCount(); ++i) {
            tabs << Window().m_tab->GetItemText(i);
        }
        return tabs;
    }
    QString Status(int part) { return Window().m_statusBar->GetText(part); }
    // Hotplug events arrive as queued calls, and the checks they start run on the worker.
    void Deliver() { Settle(); }
    void ExpectStatus(const QString& part0, const QString& part1, int present) {
        EXPECT_EQ(Status(0), part0);
        EXPECT_EQ(Status(1), part1);
        EXPECT_EQ(link_.DevicePresent, present);
    }
    // Starts an upgrade from the System page with small images beside the program.
    CSystemDlg& StartUpgrade(const char* engineSettings) {
        context_.programPath = QString::fromStdString(ProgramDir() + "kq7300tool");
        std::ofstream(ProgramDir() + "usbloader.bin") << std::string(1024, 'L');
        std::ofstream(ProgramDir() + "firmware.bin") << std::string(12288, 'F');
        engine_ = bus_.Plug(*ParseEngineSettings(engineSettings, nullptr));
        CSystemDlg& page = Window().m_systemPage;
        page.m_editFileName->setText(QString::fromStdString(ProgramDir() + "firmware.bin"));
        FindControl<QPushButton>(&page, 1032)->click();
        Settle();  // the mode check before the upgrade
        return page;
    }

    // Lets the upgrade's worker end, and the check after it, by the clock (processEvents returns
    // at once when nothing is queued).
    bool WaitForUpgradeEnd(CSystemDlg& page) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (page.m_pUpgradeThread && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        return page.m_pUpgradeThread == nullptr && WaitForWorker(Window().worker());
    }
    // Keeps the window's worker busy with a request of the test's own until gate opens.
    void HoldWorker(Gate& gate) {
        Window().worker().Run(
            &Window(),
            [&gate](DeviceLink&) {
                gate.Wait();
                return 0;
            },
            [](int) {});
        ASSERT_TRUE(gate.WaitEntered());
    }
    // Runs the event loop for a while, sleeping between rounds.
    static void Spin(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        }
    }

    std::unique_ptr<CMainDlg> window_;
};

struct TabCase {
    const char* config;
    QStringList tabs;
};

class MainWindowTabs : public MainWindowTest, public ::testing::WithParamInterface<TabCase> {};

TEST_P(MainWindowTabs, FollowTheDialogSection) {
    if (*GetParam().config) WriteConfig(GetParam().config);
    EXPECT_EQ(Tabs(), GetParam().tabs);
}

INSTANTIATE_TEST_SUITE_P(
    Config, MainWindowTabs,
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

TEST_F(MainWindowTest, TabsShowTheirPagesAndTheWindowFitsAroundEach) {
    CMainDlg& window = Window();
    const QPoint topLeft(137, 91);
    window.move(topLeft);
    QTabBar* bar = window.m_tab->tabBar();
    for (int tab : {1, 2, 0, 2}) {
        bar->setCurrentIndex(tab);
        CPageDlg* page = window.m_pages[tab];
        EXPECT_EQ(window.m_curPage, tab);
        EXPECT_TRUE(page->isVisible());
        EXPECT_EQ(page->parentWidget(), window.m_tab);
        EXPECT_EQ(page->pos(), QPoint(8, 25));
        EXPECT_EQ(window.m_tab->geometry(), QRect(QPoint(0, 0), page->size() + QSize(16, 33)));
        EXPECT_EQ(window.size(), window.m_tab->size() + QSize(0, 20));
        EXPECT_EQ(window.m_statusBar->geometry(),
                  QRect(0, window.m_tab->height(), window.width(), 20));
        EXPECT_EQ(window.pos(), topLeft);
        for (int other = 0; other < 3; ++other) {
            if (other != tab) {
                EXPECT_FALSE(window.m_pages[other]->isVisible());
            }
        }
    }
    EXPECT_LT(window.m_flipPage.width(), window.m_ledPage.width());
}

TEST_F(MainWindowTest, SelectingATabInitialisesItsPageAgain) {
    engine_ = bus_.Plug();  // attached from the start: the pages come before the device check
    Window();
    NewPayloads();
    Window().m_tab->tabBar()->setCurrentIndex(1);
    Settle();
    EXPECT_TRUE(NewPayloads().empty());  // Flip re-initialises without the engine
    Window().m_tab->tabBar()->setCurrentIndex(0);
    Settle();
    // The LED page's own first read happens now: the engine was not known at its creation.
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}, {0xFE}, {0x01, 0x01}}));
    Window().m_tab->tabBar()->setCurrentIndex(1);
    Window().m_tab->tabBar()->setCurrentIndex(0);
    Settle();
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}}));
}

TEST_F(MainWindowTest, CaptionIsFixedWhateverTheLanguage) {
    UseLanguage("SimpChinese");
    EXPECT_EQ(Window().windowTitle(), "KQ7300");
    EXPECT_EQ(Tabs(), (QStringList{"灯光", "翻转", "系统"}));
}

// The first part of the status bar is as wide as its longest text needs, in either language.
TEST_F(MainWindowTest, StatusTextsShowWholeAndTheProductIdIsTranslated) {
    std::ofstream(ProgramDir() + "Language/Wordy.lang")
        << "[String]\nWarningGeneral.DeviceConnect=设备已经连接到这台计算机\n"
           "WarningGeneral.DeviceDisconnect=设备没有连接到这台计算机\n"
           "WarningGeneral.ProductId=产品 ID：%1\n";
    UseLanguage("Wordy");
    Window();
    const QList<QLabel*> parts = Window().m_statusBar->findChildren<QLabel*>();
    ASSERT_EQ(parts.size(), 2);
    const QFontMetrics metrics(parts[0]->font());
    for (const char* text : {" 设备已经连接到这台计算机", " 设备没有连接到这台计算机"}) {
        EXPECT_LE(metrics.horizontalAdvance(QString::fromUtf8(text)),
                  parts[0]->contentsRect().width());
    }
    EXPECT_EQ(Status(1), "产品 ID：XX-XX-XX-XX-XX-XX");
}

TEST_F(MainWindowTest, StartWithoutTheEngine) {
    Window();
    ExpectStatus("Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(Window().m_ledPage.m_editCurrent->text(), "0");
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(MainWindowTest, StartWithTheEngineShowsIdAndCurrent) {
    bus_.Plug(*ParseEngineSettings("current=100", nullptr));
    ExpectStatus("Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(Window().m_ledPage.m_editCurrent->text(), "100");
    EXPECT_EQ(Window().m_ledPage.m_sliderCurrent->value(), 100);
    EXPECT_EQ(Window().m_ledPage.m_lastPos, 100);
}

TEST_F(MainWindowTest, ACurrentAbove100IsNotShown) {
    bus_.Plug(*ParseEngineSettings("current=101,product-id=00ff10a0b0c0d0e0", nullptr));
    EXPECT_EQ(Status(1), "Product ID: 00-FF-10-A0-B0-C0");
    EXPECT_EQ(Window().m_ledPage.m_editCurrent->text(), "0");
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(MainWindowTest, AFailedIdQueryKeepsThePlaceholder) {
    bus_.Plug(*ParseEngineSettings("fault=drop@2", nullptr));  // mode, then the id
    EXPECT_EQ(Status(0), "Connected");
    EXPECT_EQ(Status(1), "Product ID: XX-XX-XX-XX-XX-XX");
    EXPECT_EQ(Window().m_ledPage.m_editCurrent->text(), "50");
}

TEST_F(MainWindowTest, RemovalAndArrivalRewriteTheStatusWithALeadingBlank) {
    auto engine = bus_.Plug();
    Window();
    bus_.Unplug(engine);
    Deliver();
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);

    bus_.Replug(engine);
    Deliver();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

TEST_F(MainWindowTest, AnEngineArrivingInItsLoaderCountsAsPresentWithoutId) {
    Window();
    bus_.Plug(*ParseEngineSettings("mode=loader", nullptr));
    Deliver();
    ExpectStatus(" In its loader", "Product ID: XX-XX-XX-XX-XX-XX", 1);
}

TEST_F(MainWindowTest, ForeignNotificationsChangeNothing) {
    CMainDlg& window = Window();
    bus_.Plug(*ParseEngineSettings("vid=1234", nullptr));
    bus_.Plug(*ParseEngineSettings("pid=0001", nullptr));
    Deliver();
    HotplugEvent stick{
        DeviceEventKind::Arrival, GUID_DEVINTERFACE_USB_DEVICE,
        "\\\\?\\usb#vid_c251&pid_1706#0002a0000000#" + GUID_DEVINTERFACE_USB_DEVICE.ToString()};
    EXPECT_TRUE(window.OnDeviceChange(&stick));
    EXPECT_TRUE(window.OnDeviceChange(nullptr));
    EXPECT_EQ(Status(0), "Disconnected");
    EXPECT_EQ(link_.DevicePresent, 0);
}

TEST_F(MainWindowTest, NotificationsDuringAnUpgradeAreIgnored) {
    auto engine = bus_.Plug();
    CMainDlg& window = Window();
    window.m_systemPage.m_bUpgrading = true;
    bus_.Unplug(engine);
    Deliver();
    ExpectStatus("Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

TEST_F(MainWindowTest, ArrivalShowsTheCurrentOnTheLedPageUnlessAbove100) {
    CMainDlg& window = Window();
    auto engine = bus_.Plug(*ParseEngineSettings("current=37", nullptr));
    Deliver();
    EXPECT_EQ(window.m_ledPage.m_editCurrent->text(), "37");
    EXPECT_EQ(window.m_ledPage.m_sliderCurrent->value(), 37);
    bus_.Unplug(engine);
    bus_.Plug(*ParseEngineSettings("current=101", nullptr));
    Deliver();
    EXPECT_EQ(Status(0), " Connected");
    EXPECT_EQ(window.m_ledPage.m_editCurrent->text(), "37");
    EXPECT_EQ(window.m_ledPage.m_sliderCurrent->value(), 37);
}

// The engine leaves and comes back twice during a real upgrade (into its loader and out).
TEST_F(MainWindowTest, AnUpgradesOwnRestartsDoNotReachTheStatusBar) {
    context_.upgradeWaits = &sleeper_;
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(MessageTexts(), QStringList{"FirmWareUpgrateSuccess"});
    // Only the check after the upgrade spoke: no notification (with its leading blank) got through.
    EXPECT_EQ(Status(0), "Connected");
    EXPECT_EQ(link_.DevicePresent, 1);
}

TEST_F(MainWindowTest, ClosingDuringAnUpgradeEndsTheWorkerFirst) {
    // Real waits: the engine never returns, so the worker sits in 4 x 4 s after StartLoader.
    CSystemDlg& page = StartUpgrade("reboot-ms=0,fault=no-return");
    for (int i = 0; i < 500 && engine_->startLoaderCount() == 0; ++i) QThread::msleep(10);
    ASSERT_EQ(engine_->startLoaderCount(), 1);
    EXPECT_FALSE(FindControl(&page, 1117)->isEnabled()) << "no restart under a running upgrade";

    messages_.confirm = false;  // "Keep upgrading"
    Window().close();
    EXPECT_TRUE(Window().isVisible());
    EXPECT_NE(page.m_pUpgradeThread, nullptr);
    ASSERT_EQ(MessageTexts().size(), 1);
    EXPECT_EQ(messages_.choices, (QStringList{"StopAndClose", "KeepUpgrading"}));

    messages_.confirm = true;  // "Stop and close"
    Window().close();
    EXPECT_FALSE(Window().isVisible());
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_EQ(MessageTexts(), (QStringList{"CloseDuringUpgrade", "CloseDuringUpgrade"}));
    EXPECT_TRUE(FindControl(&page, 1117)->isEnabled());
}

// Once the engine has been told to finish, closing has nothing left to stop and does not ask.
TEST_F(MainWindowTest, ClosingWhileTheEngineFinishesDoesNotAsk) {
    // Real waits: the worker sits in the 3 s after FinishUpgrade, which closing cuts short.
    CSystemDlg& page = StartUpgrade("mode=loader,reboot-ms=0");
    for (int i = 0; i < 500 && page.upgradePhase() != UpgradePhase::Finishing; ++i) {
        QThread::msleep(10);
    }
    ASSERT_EQ(page.upgradePhase(), UpgradePhase::Finishing);
    Window().close();
    EXPECT_FALSE(Window().isVisible());
    EXPECT_EQ(page.m_pUpgradeThread, nullptr);
    EXPECT_TRUE(MessageTexts().isEmpty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
}

// Part 0 of the status bar says what the engine is doing; part 1 keeps its rules.
TEST_F(MainWindowTest, TheStatusBarTellsWhatTheEngineIsDoing) {
    auto mute = bus_.Plug(*ParseEngineSettings("mode=mute", nullptr));
    Window();
    ExpectStatus("Not answering", "Product ID: XX-XX-XX-XX-XX-XX", 1);
    bus_.Unplug(mute);
    Deliver();
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    auto loader = bus_.Plug(*ParseEngineSettings("mode=loader", nullptr));
    Deliver();
    ExpectStatus(" In its loader", "Product ID: XX-XX-XX-XX-XX-XX", 1);
    bus_.Unplug(loader);
    bus_.Plug();
    Deliver();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_TRUE(messages_.shown.empty());
}

// An engine this user may not open: said in the status bar, with the fix once per arrival.
TEST_F(MainWindowTest, NoPermissionIsShownWithItsFixOncePerArrival) {
    auto engine = bus_.Plug();
    bus_.Configure(engine, [](VirtualBus::Slot& s) { s.openError = OpenError::NoPermission; });
    CMainDlg& window = Window();
    ExpectStatus("No permission", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(MessageTexts(), QStringList{"Install the udev rule, then plug the engine in again."});
    EXPECT_EQ(messages_.shown[0].icon, MessageIcon::Warning);

    const HotplugEvent arrival{DeviceEventKind::Arrival, EngineInterfaceClass,
                               VirtualBus::EnginePath(*engine)};
    window.OnDeviceChange(&arrival);  // the same arrival told twice
    Deliver();
    ExpectStatus(" No permission", "Product ID: XX-XX-XX-XX-XX-XX", 0);
    EXPECT_EQ(MessageTexts().size(), 1);

    bus_.Unplug(engine);
    bus_.Replug(engine);
    Deliver();
    EXPECT_EQ(Status(0), " No permission");
    EXPECT_EQ(MessageTexts().size(), 2) << "a new arrival tells the fix again";

    bus_.Unplug(engine);
    bus_.Configure(engine, [](VirtualBus::Slot& s) { s.openError = OpenError::None; });
    bus_.Replug(engine);
    Deliver();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
}

// A stopped upgrade leaves the engine in its loader: LED and Flip are off while it runs, and
// afterwards the status bar and the page actions say so.
TEST_F(MainWindowTest, DuringAndAfterAStoppedUpgrade) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(gate.WaitEntered());  // after StartLoader
    Settle();
    for (int id : {1002, 1005, 1006, 1007}) {
        EXPECT_FALSE(FindControl(&Window().m_ledPage, id)->isEnabled()) << id;
    }
    EXPECT_FALSE(FindControl(&Window().m_flipPage, 1070)->isEnabled());

    FindControl<QPushButton>(&page, 1024)->click();
    gate.Open();
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(Status(0), "In its loader");
    EXPECT_EQ(Status(1), "Product ID: XX-XX-XX-XX-XX-XX") << "the id was the application's";
    EXPECT_TRUE(FindControl(&Window().m_ledPage, 1006)->isEnabled());

    FindControl<QPushButton>(&Window().m_ledPage, 1006)->click();
    Settle();
    EXPECT_EQ(MessageTexts(), QStringList{"The engine is in its loader: run the upgrade."});
}

// Arrival and removal while a request runs are shown after it, in order; the request that loses
// its engine ends in the usual message.
TEST_F(MainWindowTest, ArrivalAndRemovalDuringARequestAreShownInOrder) {
    Gate gate;
    CMainDlg& window = Window();
    HoldWorker(gate);
    auto engine = bus_.Plug();
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(0), "Disconnected") << "not before the request in flight is done";
    EXPECT_FALSE(FindControl(&window.m_ledPage, 1006)->isEnabled()) << "no second request";
    EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
    Spin(std::chrono::milliseconds(200));
    EXPECT_EQ(window.cursor().shape(), Qt::BusyCursor) << "a request that takes long shows";
    gate.Open();
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);

    Gate second;
    HoldWorker(second);
    window.m_ledPage.OnRead();  // queued behind the held request
    bus_.Unplug(engine);
    QCoreApplication::processEvents();
    second.Open();
    Settle();
    EXPECT_EQ(MessageTexts(), QStringList{"The engine did not answer."});
    ExpectStatus(" Disconnected", "Product ID: XX-XX-XX-XX-XX-XX", 0);
}

// A double click sends once: the second press meets a button that is off.
TEST_F(MainWindowTest, ADoubleClickSendsOnce) {
    engine_ = bus_.Plug();
    CMainDlg& window = Window();
    NewPayloads();
    auto* read = FindControl<QPushButton>(&window.m_ledPage, 1006);
    QTest::mouseDClick(read, Qt::LeftButton);
    read->click();
    EXPECT_FALSE(read->isEnabled());
    Settle();
    EXPECT_TRUE(read->isEnabled());
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{{0xFE}, {0x01, 0x01}}));
}

// Closing while a request runs: the window goes at once; the request in flight is let finish
// when the window is destroyed, and what was queued behind it is never sent nor shown.
TEST_F(MainWindowTest, ClosingWhileARequestRuns) {
    engine_ = bus_.Plug();
    Gate gate;
    CMainDlg& window = Window();
    NewPayloads();
    HoldWorker(gate);
    window.m_ledPage.OnRead();
    window.close();
    EXPECT_FALSE(window.isVisible());
    std::thread opener([&] {
        QThread::msleep(20);
        gate.Open();
    });
    window_.reset();
    opener.join();
    QCoreApplication::processEvents();
    EXPECT_TRUE(NewPayloads().empty());
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(MainWindowTest, EnterAndEscapeCloseNothingButTheCloseBoxDoesAfterThePause) {
    CMainDlg& window = Window();
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::keyClick(window.m_ledPage.m_editCurrent, Qt::Key_Escape);
    QTest::keyClick(window.m_ledPage.m_editCurrent, Qt::Key_Return);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(sleeper_.total(), std::chrono::microseconds(0));

    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.result(), QDialog::Rejected);
    EXPECT_EQ(sleeper_.total(), std::chrono::milliseconds(200));
}

TEST_F(MainWindowTest, RestartClosesTheMainWindow) {
    CMainDlg& window = Window();
    window.m_tab->tabBar()->setCurrentIndex(2);
    window.m_systemPage.OnRestart();
    QCoreApplication::processEvents();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(processes_.starts, 1);
}

}  // namespace
}  // namespace kq::testing
