#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <chrono>
#include <fstream>

#include "pages/system_dlg.h"
#include "pages/window_tools.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

std::vector<uint8_t> Image(size_t size, uint8_t seed) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return image;
}

class SystemUpgradeTest : public WindowTest {
  protected:
    SystemUpgradeTest() {
        context_.programPath = QString::fromStdString(ProgramDir() + "kq7300tool");
        context_.upgradeWaits = &sleeper_;
        page_ = std::make_unique<CSystemDlg>(context_, linkWorker_);
        page_->Create(&parent_);
        parent_.show();
        page_->show();
    }
    ~SystemUpgradeTest() override { page_.reset(); }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = ProgramDir() + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    void Choose(const std::string& path) {
        page_->m_editFileName->setText(QString::fromStdString(path));
    }
    QPushButton* Button(int id) { return FindControl<QPushButton>(page_.get(), id); }
    QProgressBar* Progress() { return FindControl<QProgressBar>(page_.get(), 1028); }

    // Upgrade, and the mode check's result applied: the worker runs from here on.
    void ClickUpgrade() {
        Button(1032)->click();
        EXPECT_TRUE(WaitForWorker(linkWorker_));
    }
    // Lets queued calls from the worker arrive until it has ended.
    bool WaitForEnd(std::chrono::seconds limit = std::chrono::seconds(30)) {
        WaitForWorker(linkWorker_);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (page_->m_pUpgradeThread && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return page_->m_pUpgradeThread == nullptr;
    }
    bool Idle() {
        return Button(1032)->isEnabled() && Button(1021)->isEnabled() &&
               !Button(1024)->isEnabled() && Progress()->value() == 0 && !page_->m_bUpgrading;
    }

    QWidget parent_;
    std::unique_ptr<CSystemDlg> page_;
};

TEST_F(SystemUpgradeTest, UpgradesFromThePageAndReportsOnce) {
    Attach("reboot-ms=0");
    Write("usbloader.bin", Image(10240, 3));
    const auto firmware = Image(20480, 9);
    Choose(Write("firmware.enc", firmware));
    std::vector<int> positions;
    QObject::connect(Progress(), &QProgressBar::valueChanged,
                     [&](int v) { positions.push_back(v); });

    Button(1032)->click();
    EXPECT_FALSE(Button(1032)->isEnabled()) << "disabled at once";
    ASSERT_TRUE(WaitForEnd());

    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].title, "Title");
    EXPECT_EQ(messages_.shown[0].text, "FirmWareUpgrateSuccess");
    EXPECT_EQ(messages_.shown[0].icon, MessageIcon::Information);
    EXPECT_TRUE(Idle());
    ASSERT_GE(positions.size(), 3u);
    EXPECT_EQ(positions[positions.size() - 2], 100);
    EXPECT_EQ(engine_->startLoaderCount(), 1);
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
    const auto flash = engine_->flash();
    EXPECT_TRUE(std::equal(firmware.begin() + 9216, firmware.end(), flash.begin() + 9216));
    EXPECT_EQ(page_->m_firmwareLength, 20480u);
    EXPECT_EQ(page_->m_loaderLength, 10240u);
}

// The result box names the backup of what the engine held before, with a warning icon on failure.
TEST_F(SystemUpgradeTest, ResultNamesTheBackupAndCarriesAnIcon) {
    context_.backupDir = ProgramDir() + "backups";
    // Requests: mode, block size, the block's read, its write, and the write's read-back (lost).
    Attach("mode=loader,reboot-ms=0,fault=unplug@5");
    page_->m_productId = "0A-1B-2C-3D-4E-5F";
    Write("usbloader.bin", Image(1024, 3));
    Choose(Write("firmware.bin", Image(10240, 9)));

    ClickUpgrade();
    ASSERT_TRUE(WaitForEnd());

    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].icon, MessageIcon::Warning);
    const QString text = messages_.shown[0].text;
    EXPECT_TRUE(text.startsWith("FirmWareUpgrateFail\n\nBackupSaved")) << text.toStdString();
    const auto backups =
        std::distance(std::filesystem::directory_iterator(*context_.backupDir), {});
    EXPECT_EQ(backups, 1);
}

TEST_F(SystemUpgradeTest, ChecksComeFirstAndLeaveThePageAsItWas) {
    ClickUpgrade();  // no engine: the engine test comes before the file name
    Attach();
    ClickUpgrade();
    Choose(Write("firmware.bin", Image(129025, 1)));
    ClickUpgrade();
    Choose(Write("firmware.bin", Image(129024, 1)));
    ClickUpgrade();  // no loader beside the program
    Write("usbloader.enc", Image(10241, 2));
    ClickUpgrade();
    EXPECT_EQ(MessageTexts(),
              (QStringList{"The engine did not answer.", "InvalidFileName", "FirmWareUpgrateFail",
                           "NoLoader", "FirmWareUpgrateFail"}));
    EXPECT_EQ(page_->m_pUpgradeThread, nullptr);
    EXPECT_TRUE(Idle());
    for (const auto& payload : NewPayloads()) EXPECT_EQ(payload[0], 0xFE) << "only mode queries";
}

TEST_F(SystemUpgradeTest, ASecondUpgradeCannotStartWhileOneRuns) {
    Attach();
    Write("usbloader.bin", Image(1024, 3));
    Choose(Write("firmware.bin", Image(1024, 1)));
    page_->m_bUpgrading = true;
    ClickUpgrade();
    EXPECT_EQ(page_->m_pUpgradeThread, nullptr);
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_TRUE(NewPayloads().empty());
}

TEST_F(SystemUpgradeTest, StopEndsTheRunSilentlyBeforeTheNextBlock) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Attach("reboot-ms=0");
    Write("usbloader.bin", Image(2048, 3));
    Choose(Write("firmware.bin", Image(20480, 1)));
    ClickUpgrade();
    ASSERT_TRUE(gate.WaitEntered());
    QCoreApplication::processEvents();
    EXPECT_FALSE(Button(1032)->isEnabled());
    EXPECT_FALSE(Button(1021)->isEnabled());
    ASSERT_TRUE(Button(1024)->isEnabled());
    EXPECT_EQ(Progress()->value(), 50);

    Button(1024)->click();
    EXPECT_FALSE(Button(1024)->isEnabled()) << "Stop goes grey at once";
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(page_->m_bStopRequested);
}

TEST_F(SystemUpgradeTest, TheMessageComesBeforeTheReset) {
    Attach("mode=loader,reboot-ms=0");
    Write("usbloader.bin", Image(1024, 3));
    Choose(Write("firmware.bin", Image(12288, 1)));
    bool busyWhileShown = false;
    messages_.whileShown = [&] {
        busyWhileShown = Progress()->value() == 100 && !Button(1032)->isEnabled() &&
                         page_->m_pUpgradeThread != nullptr;
        Button(1024)->click();  // Stop can still be pressed while the message is open
    };
    ClickUpgrade();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(busyWhileShown);
    EXPECT_TRUE(Idle());

    messages_.whileShown = nullptr;
    ClickUpgrade();  // that late Stop must not stop the next run
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(MessageTexts(), (QStringList{"FirmWareUpgrateSuccess", "FirmWareUpgrateSuccess"}));
}

// The engine never comes back from StartLoader, so the worker sits in its 4 s waits.
class SystemUpgradeRealWaitsTest : public SystemUpgradeTest {
  protected:
    void StartHangingUpgrade() {
        context_.upgradeWaits = nullptr;
        Attach("reboot-ms=0,fault=no-return");
        Write("usbloader.bin", Image(1024, 3));
        Choose(Write("firmware.bin", Image(20480, 1)));
        ClickUpgrade();
        for (int i = 0; i < 500 && engine_->startLoaderCount() == 0; ++i) QThread::msleep(10);
        ASSERT_EQ(engine_->startLoaderCount(), 1);
    }
};

TEST_F(SystemUpgradeRealWaitsTest, ReselectingThePageKeepsTheWorker) {
    StartHangingUpgrade();
    QThread* worker = page_->m_pUpgradeThread;
    page_->OnInitDialog();
    EXPECT_EQ(page_->m_pUpgradeThread, worker);
    page_->AbortUpgrade();
}

TEST_F(SystemUpgradeRealWaitsTest, ClosingMidUpgradeStopsAndWaitsForTheWorker) {
    StartHangingUpgrade();
    const auto start = std::chrono::steady_clock::now();
    page_.reset();  // the worker must be gone before the page is
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the loader search waits are cut short";
    QCoreApplication::processEvents();
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
}

}  // namespace
}  // namespace kq::testing
