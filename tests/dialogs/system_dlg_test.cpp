#include "dialogs/system_dlg.h"

#include <algorithm>
#include <filesystem>

#include "dialog_fixture.h"
#include "res/resource.h"

namespace kq::testing {
namespace {

using Texts = std::vector<std::string>;

struct FakeSystemView final : FakeControls<SystemView> {
    using FakeControls::FakeControls;
    void SetButtonImage(int id, int bitmapId) override { controls[id].image = bitmapId; }
    bool CloseMainWindow() override {
        ++closeRequests;
        return hasMainWindow;
    }
    bool hasMainWindow = true;
    int closeRequests = 0;
};

class SystemDlgTest : public DialogTest {
  protected:
    SystemDlgTest() {
        context_.programPath = ProgramDir() + "kq7300tool";
        context_.upgradeWaits = &sleeper_;
        view_.onChange = [this](int id) {
            if (id == IDC_FILE_NAME) page_->OnFileNameChange();
        };
        page_ = std::make_unique<CSystemDlg>(context_, worker_);
        page_->Attach(&view_);
    }
    ~SystemDlgTest() override { page_.reset(); }

    CSystemDlg& Page() {
        page_->OnInitDialog();
        return *page_;
    }
    void Choose(int index) {
        view_.Pick(IDC_LANGUAGE_COMBO, index);
        page_->OnLanguageSelChange();
    }
    void ChooseFile(const std::string& path) { view_.Type(IDC_FILE_NAME, path); }
    // Upgrade, and the mode check's result applied: the worker runs from here on.
    void ClickUpgrade() {
        page_->OnUpgrade();
        Settle();
    }
    // The mode check's result applied, then the worker's end.
    bool WaitForEnd() {
        return ui_.RunUntil([this] { return !worker_.busy(); }) &&
               ui_.RunUntil([this] { return page_->m_pUpgradeThread == nullptr; });
    }
    bool Enabled(int id) const { return view_.Get(id).enabled; }
    bool Idle() const {
        return Enabled(IDC_UPGRADE) && Enabled(IDC_BROWSE) && !Enabled(IDC_STOP) &&
               view_.GetPosition(IDC_PROGRESS) == 0 && !page_->m_bUpgrading;
    }

    FakeSystemView view_{settings_};
    std::unique_ptr<CSystemDlg> page_;
};

struct Preselection {
    const char* config;
    unsigned locale;
    int index;
};

class SystemDlgPreselection : public SystemDlgTest,
                              public ::testing::WithParamInterface<Preselection> {};

TEST_P(SystemDlgPreselection, FollowsConfigThenLocale) {
    WriteConfig(GetParam().config);
    locale_.language = GetParam().locale;
    Page();
    EXPECT_EQ(view_.GetSelection(IDC_LANGUAGE_COMBO), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, SystemDlgPreselection,
    ::testing::Values(Preselection{"[themes]\nSolution=English\n", kLangChinese, 0},
                      Preselection{"[themes]\nSolution=SimpChinese\n", kLangEnglish, 1},
                      Preselection{"", kLangChinese, 1}, Preselection{"", kLangEnglish, 0},
                      Preselection{"[themes]\nSolution=French\n", 0x404, 1},
                      Preselection{"[themes]\nSolution=French\n", 0x07, 0}));

TEST_F(SystemDlgTest, ChoosingWritesTheNameAtOnceButKeepsTheLanguage) {
    Page();
    const std::string inUse = settings_.CurrentLanguageFile;
    Choose(1);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    Choose(0);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "English");
    Choose(-1);  // no selection writes nothing
    EXPECT_EQ(settings_.ReadLanguageSetting(), "English");
    EXPECT_EQ(settings_.CurrentLanguageFile, inUse);
    EXPECT_EQ(view_.Get(IDC_LANGUAGE_COMBO).items, (Texts{"English", "Simplified Chinese"}));
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(SystemDlgTest, FirstInitSetsUpOnceAndReselectionKeepsTheFileName) {
    page_->m_bStopRequested = true;
    CSystemDlg& page = Page();
    EXPECT_EQ(view_.Get(IDC_BROWSE).image, IDB_BROWSE);
    EXPECT_FALSE(page.m_bStopRequested);
    EXPECT_FALSE(flags_.g_bSystemPageFirstInit);

    view_.fileAnswer = "/media/usb/firmware.enc";
    page.OnBrowse();
    EXPECT_EQ(view_.GetText(IDC_FILE_NAME), "/media/usb/firmware.enc");
    EXPECT_EQ(page.m_strFileName, "/media/usb/firmware.enc");
    Choose(1);

    page.OnInitDialog();
    page.OnInitDialog();
    EXPECT_EQ(view_.Get(IDC_LANGUAGE_COMBO).items.size(), 2u);
    EXPECT_EQ(view_.GetSelection(IDC_LANGUAGE_COMBO), 1);
    EXPECT_EQ(view_.GetText(IDC_FILE_NAME), "/media/usb/firmware.enc");
    EXPECT_EQ(view_.translations, 3);

    view_.fileAnswer.reset();  // cancelled: nothing changes
    page.OnBrowse();
    EXPECT_EQ(page.m_strFileName, "/media/usb/firmware.enc");
}

TEST_F(SystemDlgTest, BrowseOffersTheImageKindsInTheLanguageInUse) {
    UseLanguage("SimpChinese");
    Page().OnBrowse();
    ASSERT_EQ(view_.fileChoices.size(), 1u);
    const FileChoice& choice = view_.fileChoices[0];
    EXPECT_EQ(choice.title, "选择固件文件");
    ASSERT_EQ(choice.filters.size(), 3u);
    EXPECT_EQ(choice.filters[0].name, "FilterEnc");
    EXPECT_EQ(choice.filters[0].patterns, Texts{"*.enc"});
    EXPECT_EQ(choice.filters[1].name, "二进制文件");
    EXPECT_EQ(choice.filters[1].patterns, Texts{"*.bin"});
    EXPECT_EQ(choice.filters[2].patterns, Texts{"*"});
}

TEST_F(SystemDlgTest, RestartStartsTheSameCommandLineThenAsksTheWindowToClose) {
    Page().OnRestart();
    EXPECT_EQ(processes_.starts, 1);
    EXPECT_EQ(processes_.program, context_.programPath);
    EXPECT_EQ(processes_.arguments, context_.arguments);
    EXPECT_EQ(view_.closeRequests, 1);
    EXPECT_FALSE(processes_.exitCode);
}

// A new instance that cannot start, or no window to close: this one ends at once with -1.
TEST_F(SystemDlgTest, ARestartThatCannotGoOnEndsAtOnce) {
    processes_.startSucceeds = false;
    Page().OnRestart();
    EXPECT_EQ(processes_.exitCode, -1);
    EXPECT_EQ(view_.closeRequests, 0) << "the old one is asked to close only after the start";

    processes_.startSucceeds = true;
    processes_.exitCode.reset();
    view_.hasMainWindow = false;
    page_->OnRestart();
    EXPECT_EQ(processes_.exitCode, -1);
}

TEST_F(SystemDlgTest, AChoiceThatCannotBeSavedIsToldOnce) {
    std::filesystem::create_directory(dir_ / "Config.ini");  // no one can write it
    Page();
    ::testing::internal::CaptureStderr();
    Choose(1);
    Choose(0);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].title, "Title");
    EXPECT_EQ(view_.messages[0].text, "WriteFail");
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Warning);
}

TEST_F(SystemDlgTest, UpgradesFromThePageAndReportsOnce) {
    Page();
    Attach("reboot-ms=0");
    WriteImage("usbloader.bin", Image(10240, 3));
    const auto firmware = Image(20480, 9);
    ChooseFile(WriteImage("firmware.enc", firmware));
    std::vector<bool> running;
    page_->onUpgradeRunningChanged = [&](bool r) { running.push_back(r); };

    page_->OnUpgrade();
    EXPECT_FALSE(Enabled(IDC_UPGRADE)) << "disabled at once";
    ASSERT_TRUE(WaitForEnd());

    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].title, "Title");
    EXPECT_EQ(view_.messages[0].text, "FirmWareUpgrateSuccess");
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Information);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(Enabled(IDC_RESTART));
    EXPECT_EQ(running, (std::vector<bool>{true, false}));
    EXPECT_EQ(engine_->startLoaderCount(), 1);
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
    const auto flash = engine_->flash();
    EXPECT_TRUE(std::equal(firmware.begin() + 9216, firmware.end(), flash.begin() + 9216));
    EXPECT_EQ(page_->m_firmwareLength, 20480u);
    EXPECT_EQ(page_->m_loaderLength, 10240u);
}

// The result box names the backup of what the engine held before, with a warning icon on failure.
TEST_F(SystemDlgTest, ResultNamesTheBackupAndCarriesAnIcon) {
    context_.backupDir = dir_ / "backups";
    Page();
    // Requests: mode, block size, the block's read, its write, and the write's read-back (lost).
    Attach("mode=loader,reboot-ms=0,fault=unplug@5");
    page_->m_productId = "0A-1B-2C-3D-4E-5F";
    WriteImage("usbloader.bin", Image(1024, 3));
    ChooseFile(WriteImage("firmware.bin", Image(10240, 9)));

    ClickUpgrade();
    ASSERT_TRUE(WaitForEnd());

    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Warning);
    const std::string text = view_.messages[0].text;
    EXPECT_EQ(text.rfind("FirmWareUpgrateFail\n\nBackupSaved ", 0), 0u) << text;
    // The backup, and beside it the hidden record of its open series.
    const auto backups = std::count_if(
        std::filesystem::directory_iterator(*context_.backupDir), {},
        [](const auto& entry) { return entry.path().extension() == ".bin"; });
    EXPECT_EQ(backups, 1);
}

TEST_F(SystemDlgTest, ChecksComeFirstAndLeaveThePageAsItWas) {
    Page();
    ClickUpgrade();  // no engine: the engine test comes before the file name
    Attach();
    ClickUpgrade();
    ChooseFile(WriteImage("firmware.bin", Image(129025, 1)));
    ClickUpgrade();
    ChooseFile(WriteImage("firmware.bin", Image(129024, 1)));
    ClickUpgrade();  // no loader beside the program
    WriteImage("usbloader.enc", Image(10241, 2));
    ClickUpgrade();
    EXPECT_EQ(view_.MessageTexts(),
              (Texts{"The engine did not answer.", "InvalidFileName", "FirmWareUpgrateFail",
                     "NoLoader", "FirmWareUpgrateFail"}));
    EXPECT_EQ(view_.messages[1].title, "Title");
    EXPECT_EQ(page_->m_pUpgradeThread, nullptr);
    EXPECT_TRUE(Idle());
    for (const auto& payload : NewPayloads()) EXPECT_EQ(payload[0], 0xFE) << "only mode queries";
}

TEST_F(SystemDlgTest, ASecondUpgradeCannotStartWhileOneRuns) {
    Page();
    Attach();
    WriteImage("usbloader.bin", Image(1024, 3));
    ChooseFile(WriteImage("firmware.bin", Image(1024, 1)));
    page_->m_bUpgrading = true;
    ClickUpgrade();
    EXPECT_EQ(page_->m_pUpgradeThread, nullptr);
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_TRUE(NewPayloads().empty());
}

TEST_F(SystemDlgTest, StopEndsTheRunSilentlyBeforeTheNextBlock) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Page();
    Attach("reboot-ms=0");
    WriteImage("usbloader.bin", Image(2048, 3));
    ChooseFile(WriteImage("firmware.bin", Image(20480, 1)));
    ClickUpgrade();
    ASSERT_TRUE(gate.WaitEntered());
    ui_.queue().RunPending();
    EXPECT_FALSE(Enabled(IDC_UPGRADE));
    EXPECT_FALSE(Enabled(IDC_BROWSE));
    EXPECT_FALSE(Enabled(IDC_RESTART)) << "no restart under a running upgrade";
    ASSERT_TRUE(Enabled(IDC_STOP));
    EXPECT_EQ(view_.GetPosition(IDC_PROGRESS), 50);
    EXPECT_FALSE(page_->OnClose()) << "the page does not close under its worker";
    page_->OnRestart();
    EXPECT_EQ(processes_.starts, 0);

    page_->OnStop();
    EXPECT_FALSE(Enabled(IDC_STOP)) << "Stop goes grey at once";
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(page_->m_bStopRequested);
    EXPECT_TRUE(page_->OnClose());
}

TEST_F(SystemDlgTest, TheMessageComesBeforeTheReset) {
    Page();
    Attach("mode=loader,reboot-ms=0");
    WriteImage("usbloader.bin", Image(1024, 3));
    ChooseFile(WriteImage("firmware.bin", Image(12288, 1)));
    bool busyWhileShown = false;
    view_.whileShown = [&] {
        busyWhileShown = view_.GetPosition(IDC_PROGRESS) == 100 && !Enabled(IDC_UPGRADE) &&
                         page_->m_pUpgradeThread != nullptr;
        page_->OnStop();  // Stop can still be pressed while the message is open
    };
    ClickUpgrade();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(busyWhileShown);
    EXPECT_TRUE(Idle());

    view_.whileShown = nullptr;
    ClickUpgrade();  // that late Stop must not stop the next run
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(view_.MessageTexts(), (Texts{"FirmWareUpgrateSuccess", "FirmWareUpgrateSuccess"}));
}

// The engine never comes back from StartLoader, so the worker sits in its 4 s waits.
class SystemDlgRealWaitsTest : public SystemDlgTest {
  protected:
    void StartHangingUpgrade() {
        context_.upgradeWaits = nullptr;
        Page();
        Attach("reboot-ms=0,fault=no-return");
        WriteImage("usbloader.bin", Image(1024, 3));
        ChooseFile(WriteImage("firmware.bin", Image(20480, 1)));
        ClickUpgrade();
        for (int i = 0; i < 500 && engine_->startLoaderCount() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(engine_->startLoaderCount(), 1);
    }
};

TEST_F(SystemDlgRealWaitsTest, ReselectingThePageKeepsTheWorker) {
    StartHangingUpgrade();
    const std::thread* worker = page_->m_pUpgradeThread.get();
    page_->OnInitDialog();
    EXPECT_EQ(page_->m_pUpgradeThread.get(), worker);
    page_->AbortUpgrade();
    EXPECT_EQ(page_->m_pUpgradeThread, nullptr);
}

TEST_F(SystemDlgRealWaitsTest, ClosingMidUpgradeStopsAndWaitsForTheWorker) {
    StartHangingUpgrade();
    const auto start = std::chrono::steady_clock::now();
    page_.reset();  // the worker must be gone before the page is
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the loader search waits are cut short";
    ui_.queue().RunPending();
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
}

}  // namespace
}  // namespace kq::testing
