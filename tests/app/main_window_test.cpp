#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <QThread>
#include <thread>

#include "app/qt_main_window.h"
#include "app/tab_ctrl.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class MainWindowTest : public WindowTest {
  protected:
    QtMainWindow& Window() {
        if (!window_) {
            window_ = std::make_unique<QtMainWindow>(context_, services_, &bus_);
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
        context_.programPath = ProgramDir() + "kq7300tool";
        WriteImage("usbloader.bin", Image(1024, 'L'));
        const std::string firmware = WriteImage("firmware.bin", Image(12288, 'F'));
        engine_ = Plug(engineSettings);
        QtSystemPage& page = Window().systemPage;
        page.m_editFileName->setText(QString::fromStdString(firmware));
        const size_t shown = messages_.shown.size();
        FindControl<QPushButton>(&page, IDC_UPGRADE)->click();
        Settle();  // the mode check before the upgrade, then the question before the start
        EXPECT_TRUE(SpinUntil(
            [&] { return messages_.shown.size() > shown || !page.logic().m_pUpgradeThread; }));
        return page.logic();
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
    // Runs the event loop for a while, sleeping between rounds.
    static void Spin(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        }
    }

    std::unique_ptr<QtMainWindow> window_;
};

TEST_F(MainWindowTest, TabsShowTheirPagesAndTheWindowFitsAroundEach) {
    QtMainWindow& window = Window();
    const QPoint topLeft(137, 91);
    window.move(topLeft);
    QTabBar* bar = window.m_tab->tabBar();
    for (int tab : {1, 2, 0, 2}) {
        bar->setCurrentIndex(tab);
        QtPage* page = window.pageAt(tab);
        EXPECT_EQ(window.logic().m_curPage, tab);
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
                EXPECT_FALSE(window.pageAt(other)->isVisible());
            }
        }
    }
    EXPECT_LT(window.flipPage.width(), window.ledPage.width());
}

// The icon waits until the window's contents are on the screen. Each size is drawn from its own
// image, sharp in a title bar and a task switcher alike, and none is larger than a switcher draws
// (every size is sent to the window system).
TEST_F(MainWindowTest, TheIconComesAfterTheFirstPaintInEachSizeItIsDrawnAt) {
    window_ = std::make_unique<QtMainWindow>(context_, services_, &bus_);
    window_->OnInitDialog();
    EXPECT_FALSE(window_->testAttribute(Qt::WA_SetWindowIcon));
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    EXPECT_TRUE(SpinUntil([&] { return window_->testAttribute(Qt::WA_SetWindowIcon); }));
    const QIcon icon = window_->windowIcon();
    QList<QSize> expected;
    for (int size : kProgramIconSizes) expected << QSize(size, size);
    EXPECT_EQ(icon.availableSizes(), expected);
    for (const QSize& size : expected) {
        const QImage image = icon.pixmap(size).toImage();
        EXPECT_EQ(image.size(), size);
        EXPECT_TRUE(image.hasAlphaChannel());
    }
    EXPECT_EQ(QApplication::windowIcon().availableSizes(), expected);
    Settle();
}

TEST_F(MainWindowTest, CaptionIsFixedWhateverTheLanguage) {
    UseLanguage("SimpChinese");
    EXPECT_EQ(Window().windowTitle(), "KQ7300");
    EXPECT_EQ(Tabs(), (QStringList{"灯光", "翻转", "系统"}));
}

// The first part of the status bar is as wide as its longest text needs, in either language.
TEST_F(MainWindowTest, StatusTextsShowWholeAndTheProductIdIsTranslated) {
    WriteFile("Language/Wordy.lang",
              "[String]\nWarningGeneral.DeviceConnect=设备已经连接到这台计算机\n"
              "WarningGeneral.DeviceDisconnect=设备没有连接到这台计算机\n"
              "WarningGeneral.ProductId=产品 ID：%1\n");
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

TEST_F(MainWindowTest, StartWithTheEngineShowsIdAndCurrent) {
    Plug("current=100");
    ExpectStatus("Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(Window().ledPage.m_editCurrent->text(), "100");
    EXPECT_EQ(Window().ledPage.m_sliderCurrent->value(), 100);
    EXPECT_EQ(Window().logic().m_ledPage.m_lastPos, 100);
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

TEST_F(MainWindowTest, ClosingDuringAnUpgradeEndsTheWorkerFirst) {
    // Real waits: the engine never returns, so the worker sits in 4 x 4 s after StartLoader.
    CSystemDlg& page = StartUpgrade("reboot-ms=0,fault=no-return");
    for (int i = 0; i < 500 && engine_->startLoaderCount() == 0; ++i) QThread::msleep(10);
    ASSERT_EQ(engine_->startLoaderCount(), 1);
    EXPECT_FALSE(FindControl(&Window().systemPage, IDC_RESTART)->isEnabled())
        << "no restart under a running upgrade";

    messages_.shown.clear();    // the question before the start
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
    EXPECT_TRUE(FindControl(&Window().systemPage, IDC_RESTART)->isEnabled());
}

// A stopped upgrade leaves the engine in its loader: LED and Flip are off while it runs, and
// afterwards the status bar and the page actions say so.
TEST_F(MainWindowTest, DuringAndAfterAStoppedUpgrade) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    CSystemDlg& page = StartUpgrade("reboot-ms=0");
    ASSERT_TRUE(gate.WaitEntered());  // after StartLoader
    Settle();
    for (int id : {IDC_LED_SWITCH, IDC_CURRENT_WRITE, IDC_CURRENT_READ, IDC_POWER_SWITCH}) {
        EXPECT_FALSE(FindControl(&Window().ledPage, id)->isEnabled()) << id;
    }
    EXPECT_FALSE(FindControl(&Window().flipPage, IDC_FLIP_DO)->isEnabled());

    FindControl<QPushButton>(&Window().systemPage, IDC_STOP)->click();
    gate.Open();
    ASSERT_TRUE(WaitForUpgradeEnd(page));
    EXPECT_EQ(Status(0), "In its loader");
    EXPECT_EQ(Status(1), "Product ID: XX-XX-XX-XX-XX-XX") << "the id was the application's";
    EXPECT_TRUE(FindControl(&Window().ledPage, IDC_CURRENT_READ)->isEnabled());

    // The question before the start, and the stop's own message: where it left the engine.
    EXPECT_EQ(MessageTexts().mid(1), QStringList{"StoppedInLoader"});
    messages_.shown.clear();
    FindControl<QPushButton>(&Window().ledPage, IDC_CURRENT_READ)->click();
    Settle();
    EXPECT_EQ(MessageTexts(), QStringList{"The engine is in its loader: run the upgrade."});
}

// Arrival and removal while a request runs are shown after it, in order; the request that loses
// its engine ends in the usual message.
TEST_F(MainWindowTest, ArrivalAndRemovalDuringARequestAreShownInOrder) {
    Gate gate;
    QtMainWindow& window = Window();
    HoldWorker(Window().worker(), gate);
    auto engine = bus_.Plug();
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(0), "Disconnected") << "not before the request in flight is done";
    EXPECT_FALSE(FindControl(&window.ledPage, IDC_CURRENT_READ)->isEnabled())
        << "no second request";
    EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
    Spin(std::chrono::milliseconds(200));
    EXPECT_EQ(window.cursor().shape(), Qt::BusyCursor) << "a request that takes long shows";
    gate.Open();
    Settle();
    ExpectStatus(" Connected", "Product ID: 0A-1B-2C-3D-4E-5F", 1);
    EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);

    Gate second;
    HoldWorker(Window().worker(), second);
    window.logic().m_ledPage.OnRead();  // queued behind the held request
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
    QtMainWindow& window = Window();
    NewPayloads();
    auto* read = FindControl<QPushButton>(&window.ledPage, IDC_CURRENT_READ);
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
    QtMainWindow& window = Window();
    NewPayloads();
    HoldWorker(Window().worker(), gate);
    window.logic().m_ledPage.OnRead();
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
    QtMainWindow& window = Window();
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::keyClick(window.ledPage.m_editCurrent, Qt::Key_Escape);
    QTest::keyClick(window.ledPage.m_editCurrent, Qt::Key_Return);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(sleeper_.total(), std::chrono::microseconds(0));

    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.result(), QDialog::Rejected);
    EXPECT_EQ(sleeper_.total(), std::chrono::milliseconds(200));
}

TEST_F(MainWindowTest, RestartClosesTheMainWindow) {
    QtMainWindow& window = Window();
    window.m_tab->tabBar()->setCurrentIndex(2);
    window.logic().m_systemPage.OnRestart();
    QCoreApplication::processEvents();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(processes_.starts, 1);
}

}  // namespace
}  // namespace kq::test
