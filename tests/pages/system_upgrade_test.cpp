#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <chrono>

#include "pages/qt_system_page.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class SystemUpgradeTest : public WindowTest {
  protected:
    SystemUpgradeTest() {
        context_.programPath = ProgramDir() + "kq7300tool";
        context_.upgradeWaits = &sleeper_;
        page_ = std::make_unique<QtSystemPage>(logic_, services_);
        page_->Create(&parent_);
        parent_.show();
        page_->show();
    }
    ~SystemUpgradeTest() override { page_.reset(); }

    QPushButton* Button(int id) { return FindControl<QPushButton>(page_.get(), id); }
    QProgressBar* Progress() { return FindControl<QProgressBar>(page_.get(), IDC_PROGRESS); }

    // Lets queued calls from the worker arrive until it has ended.
    bool WaitForEnd(std::chrono::seconds limit = std::chrono::seconds(30)) {
        WaitForWorker(linkWorker_);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (logic_.m_pUpgradeThread && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return logic_.m_pUpgradeThread == nullptr;
    }

    // A small loader beside the program and a firmware file in the page's box.
    void ChooseImages() {
        WriteImage("usbloader.bin", Image(1024, 3));
        page_->m_editFileName->setText(
            QString::fromStdString(WriteImage("firmware.bin", Image(20480, 1))));
    }

    CSystemDlg logic_{context_, linkWorker_};
    QWidget parent_;
    std::unique_ptr<QtSystemPage> page_;
};

// Through the widgets: the click, the buttons' states, the bar's positions, the one box.
TEST_F(SystemUpgradeTest, UpgradesFromThePageAndReportsOnce) {
    Attach("reboot-ms=0");
    WriteImage("usbloader.bin", Image(10240, 3));
    page_->m_editFileName->setText(
        QString::fromStdString(WriteImage("firmware.enc", Image(20480, 9))));
    std::vector<int> positions;
    QObject::connect(Progress(), &QProgressBar::valueChanged,
                     [&](int v) { positions.push_back(v); });

    Button(IDC_UPGRADE)->click();
    EXPECT_FALSE(Button(IDC_UPGRADE)->isEnabled()) << "disabled at once";
    ASSERT_TRUE(WaitForEnd());

    // The question before the start, then the result.
    ASSERT_EQ(messages_.shown.size(), 2u);
    EXPECT_TRUE(messages_.shown[0].text.startsWith("ConfirmQuestion\n"))
        << messages_.shown[0].text.toStdString();
    EXPECT_EQ(messages_.choices, (QStringList{"UpGrate", "Cancel"}));
    EXPECT_EQ(messages_.shown[1].text, "FirmWareUpgrateSuccess");
    EXPECT_EQ(messages_.shown[1].icon, MessageIcon::Information);
    EXPECT_TRUE(Button(IDC_UPGRADE)->isEnabled());
    EXPECT_TRUE(Button(IDC_BROWSE)->isEnabled());
    EXPECT_FALSE(Button(IDC_STOP)->isEnabled());
    EXPECT_TRUE(Button(IDC_RESTART)->isEnabled());
    EXPECT_EQ(Progress()->value(), 0);
    ASSERT_GE(positions.size(), 3u);
    EXPECT_EQ(positions[positions.size() - 2], 100);
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
}

// The page's own close is refused while its worker runs.
TEST_F(SystemUpgradeTest, ThePageDoesNotCloseUnderItsWorker) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Attach("reboot-ms=0");
    ChooseImages();
    Button(IDC_UPGRADE)->click();
    WaitForWorker(linkWorker_);
    ASSERT_TRUE(SpinUntil([&] { return !messages_.shown.empty(); }));  // answered: go on
    ASSERT_TRUE(gate.WaitEntered());
    EXPECT_FALSE(page_->close());
    EXPECT_TRUE(page_->isVisible());
    Button(IDC_STOP)->click();
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(page_->close());
}

// Cancel at the question: nothing is written and no other box follows.
TEST_F(SystemUpgradeTest, CancelAtTheQuestionWritesNothing) {
    Attach("reboot-ms=0");
    ChooseImages();
    messages_.confirm = false;
    Button(IDC_UPGRADE)->click();
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_TRUE(engine_->blockWrites().empty());
    EXPECT_TRUE(Button(IDC_UPGRADE)->isEnabled());
}

// The line under the bar names the phase, and a stop during a wait says when it takes effect.
TEST_F(SystemUpgradeTest, ThePhaseLineUnderTheBar) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Attach("reboot-ms=0");
    ChooseImages();
    auto* line = FindControl<QLabel>(page_.get(), IDC_UPGRADE_PHASE);
    ASSERT_NE(line, nullptr);
    Button(IDC_UPGRADE)->click();
    ASSERT_TRUE(SpinUntil([&] { return !messages_.shown.empty(); }));
    ASSERT_TRUE(gate.WaitEntered());
    ASSERT_TRUE(SpinUntil([&] { return line->text() == "Waiting, try 1 of 4."; }))
        << line->text().toStdString();
    Button(IDC_STOP)->click();
    EXPECT_EQ(line->text(), "Waiting, try 1 of 4. Phase.StopAfterWait");
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(line->text().isEmpty());
    EXPECT_EQ(MessageTexts().back(), "StoppedInLoader");
}

}  // namespace
}  // namespace kq::test
