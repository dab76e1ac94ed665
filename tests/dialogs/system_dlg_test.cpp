#include "dialogs/system_dlg.h"

#include <algorithm>
#include <filesystem>

#include "os/sha256.h"
#include "res/resource.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

using Texts = std::vector<std::string>;

struct FakeSystemView final : FakeControls<SystemView> {
    using FakeControls::FakeControls;
    void SetText(int id, const std::string& text) override {
        if (id == IDC_UPGRADE_PHASE && (phaseLines.empty() || phaseLines.back() != text)) {
            phaseLines.push_back(text);
        }
        FakeControls::SetText(id, text);
    }
    void SetButtonImage(int id, int bitmapId) override { controls[id].image = bitmapId; }
    bool CloseMainWindow() override {
        ++closeRequests;
        return hasMainWindow;
    }
    bool hasMainWindow = true;
    int closeRequests = 0;
    Texts phaseLines;  // what the line under the bar said, in order
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
    // Upgrade, the mode check's result applied and the question before the start answered (or
    // the run refused): the worker runs from here on.
    void ClickUpgrade() {
        const size_t asked = view_.questions.size();
        page_->OnUpgrade();
        Settle();
        EXPECT_TRUE(ui_.RunUntil(
            [&] { return view_.questions.size() > asked || page_->m_pUpgradeThread == nullptr; }));
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

    // Small images beside the program, the firmware chosen.
    std::vector<uint8_t> ChooseImages(size_t firmwareSize = 20480, size_t loaderSize = 1024) {
        WriteImage("usbloader.bin", Image(loaderSize, 3));
        auto firmware = Image(firmwareSize, 9);
        ChooseFile(WriteImage("firmware.enc", firmware));
        return firmware;
    }
    // A full run from the click to the end of its message.
    void Run() {
        ClickUpgrade();
        ASSERT_TRUE(WaitForEnd());
    }
    // The run stops after the n-th pause of the link (a block's write or read-back), which the
    // block then completes.
    void StopAfterWait(int n) {
        sleeper_.SetHook([this, n](int wait) {
            if (wait == n) page_->m_bStopRequested = true;
        });
    }
    std::vector<HistoryEntry> History() const { return ReadHistory(*context_.historyFile).entries; }
    const std::string& OnlyText() const {
        EXPECT_EQ(view_.messages.size(), 1u);
        static const std::string none;
        return view_.messages.empty() ? none : view_.messages.back().text;
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

// Restoring a backup (a .bin) is an upgrade like any other: every image is offered first.
TEST_F(SystemDlgTest, BrowseOffersEveryImageInTheLanguageInUse) {
    UseLanguage("SimpChinese");
    Page().OnBrowse();
    ASSERT_EQ(view_.fileChoices.size(), 1u);
    const FileChoice& choice = view_.fileChoices[0];
    EXPECT_EQ(choice.title, "选择固件文件");
    ASSERT_EQ(choice.filters.size(), 4u);
    EXPECT_EQ(choice.filters[0].name, "FilterImages");
    EXPECT_EQ(choice.filters[0].patterns, (Texts{"*.enc", "*.bin"}));
    EXPECT_EQ(choice.filters[1].name, "FilterEnc");
    EXPECT_EQ(choice.filters[1].patterns, Texts{"*.enc"});
    EXPECT_EQ(choice.filters[2].name, "二进制文件");
    EXPECT_EQ(choice.filters[2].patterns, Texts{"*.bin"});
    EXPECT_EQ(choice.filters[3].patterns, Texts{"*"});
    EXPECT_EQ(choice.startFolder, "") << "no backup folder: the toolkit's choice";
}

TEST_F(SystemDlgTest, BrowseOpensInTheBackupFolderOnceThereIsOne) {
    context_.backupDir = dir_ / "backups";
    Page().OnBrowse();
    std::filesystem::create_directory(*context_.backupDir);
    page_->OnBrowse();
    ASSERT_EQ(view_.fileChoices.size(), 2u);
    EXPECT_EQ(view_.fileChoices[0].startFolder, "");
    EXPECT_EQ(view_.fileChoices[1].startFolder, (dir_ / "backups").string());
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
    EXPECT_EQ(text.rfind("FirmWareUpgrateFail\nFail.BlockTransfer\n\nBackup: ", 0), 0u) << text;
    // The backup, and beside it the hidden record of its open series.
    const auto backups =
        std::count_if(std::filesystem::directory_iterator(*context_.backupDir), {},
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
    // Each refusal names the file and what is wrong with it; a missing loader, where it was
    // looked for: beside the program first, then the data folders of this system.
    Texts texts = view_.MessageTexts();
    ASSERT_EQ(texts.size(), 5u);
    const std::string noLoader = "No loader in " + dir_.string() + ", ";
    EXPECT_EQ(texts[3].rfind(noLoader, 0), 0u) << texts[3];
    EXPECT_NE(texts[3].find("kq7300"), std::string::npos) << texts[3];
    texts[3] = noLoader;
    EXPECT_EQ(texts,
              (Texts{"The engine did not answer.", "InvalidFileName",
                     ProgramDir() + "firmware.bin holds 129025 bytes, at most 129024.", noLoader,
                     "Loader " + (dir_ / "usbloader.enc").string() +
                         " holds 10241 bytes, at most 10240."}));
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

TEST_F(SystemDlgTest, StopEndsTheRunBeforeTheNextBlockAndSaysSo) {
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
    EXPECT_EQ(view_.MessageTexts(), Texts{"StoppedInLoader"});
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

// Before anything is written the user is asked: the engine, the file with its SHA-256, whether
// the loader is written first, and the time. Cancel is the default.
TEST_F(SystemDlgTest, AsksBeforeWritingAndNamesWhatIsAboutToHappen) {
    Page();
    Attach("reboot-ms=0");
    page_->m_productId = "0A-1B-2C-3D-4E-5F";
    const auto firmware = ChooseImages();
    view_.answer = Answer::Reject;
    Run();
    ASSERT_EQ(view_.questions.size(), 1u);
    const Question& asked = view_.questions[0];
    EXPECT_EQ(asked.title, "Title");
    EXPECT_EQ(asked.acceptText, "UpGrate");
    EXPECT_EQ(asked.rejectText, "Cancel");
    EXPECT_EQ(asked.defaultAnswer, Answer::Reject);
    const uint64_t seconds = (EstimateUpgradeMs(20480, 1024, 1024, true) + 999) / 1000;
    EXPECT_EQ(asked.text,
              "ConfirmQuestion\n\nEngine 0002a0000000, id 0A-1B-2C-3D-4E-5F\n"
              "At virtual-1\nFile firmware.enc, 20480 bytes\nSHA " +
                  os::Sha256Hex(firmware) + "\nConfirmLoader\nTime " + std::to_string(seconds) +
                  " s");
}

// Cancel: nothing written, no box, the page as it was; the history says it never began.
TEST_F(SystemDlgTest, CancelWritesNothingAndShowsNoBox) {
    context_.historyFile = dir_ / "state" / "history.jsonl";
    Page();
    Attach("reboot-ms=0");
    ChooseImages();
    std::vector<bool> running;
    page_->onUpgradeRunningChanged = [&](bool r) { running.push_back(r); };
    view_.answer = Answer::Reject;
    Run();
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_TRUE(engine_->blockWrites().empty());
    EXPECT_EQ(engine_->startLoaderCount(), 0);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(running, (std::vector<bool>{true, false}));
    ASSERT_EQ(History().size(), 1u);
    EXPECT_EQ(History()[0].outcome, "refused");
    EXPECT_EQ(History()[0].reason, "cancelled before anything was written");
}

TEST_F(SystemDlgTest, AnUpgradeOfMoreThanTenMinutesIsSaidPlainlyFirst) {
    Page();
    Attach("mode=loader,block-size=16");
    ChooseImages(129024);
    view_.answer = Answer::Reject;
    Run();
    const uint64_t ms = EstimateUpgradeMs(129024, 1024, 16, false);
    ASSERT_GT(ms, kLongUpgradeMs);
    ASSERT_EQ(view_.questions.size(), 1u);
    const std::string& text = view_.questions[0].text;
    const std::string minutes = std::to_string((ms + 59999) / 60000);
    EXPECT_EQ(text.rfind("Takes " + minutes + " minutes, blocks of 16 bytes.\n\n", 0), 0u) << text;
    EXPECT_NE(text.find("id ConfirmNoProductId"), std::string::npos) << text;
    EXPECT_NE(text.find("\nConfirmNoLoader\n"), std::string::npos) << text;
}

// The line under the bar names each phase as it comes (a fast run may skip one), and says when
// a stop takes effect.
TEST_F(SystemDlgTest, ThePhaseLineTellsWhatTheUpgradeDoes) {
    Page();
    Attach("reboot-ms=0");
    ChooseImages();
    view_.phaseLines.clear();
    Run();
    const Texts order{"Phase.Preparing", "Phase.Confirming",      "Phase.Preparing",
                      "Phase.Loader",    "Waiting, try 1 of 4.",  "Phase.Firmware",
                      "Phase.Finishing", "Checking, try 1 of 5.", ""};
    const Texts& seen = view_.phaseLines;
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], "Phase.Preparing");
    EXPECT_EQ(seen[1], "Phase.Confirming") << "the worker waits for the answer";
    EXPECT_EQ(seen.back(), "");
    size_t at = 0;
    for (const std::string& line : seen) {
        const auto it = std::find(order.begin() + static_cast<long>(at), order.end(), line);
        ASSERT_NE(it, order.end()) << "out of order or unknown: " << line;
        at = static_cast<size_t>(it - order.begin()) + 1;
    }
}

TEST_F(SystemDlgTest, StopDuringARestartWaitSaysItTakesEffectAfterIt) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Page();
    Attach("reboot-ms=0");
    ChooseImages();
    ClickUpgrade();
    ASSERT_TRUE(gate.WaitEntered());
    ui_.queue().RunPending();
    EXPECT_EQ(view_.GetText(IDC_UPGRADE_PHASE), "Waiting, try 1 of 4.");
    page_->OnStop();
    EXPECT_EQ(view_.GetText(IDC_UPGRADE_PHASE), "Waiting, try 1 of 4. Phase.StopAfterWait");
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(view_.GetText(IDC_UPGRADE_PHASE), "");
}

// Once the engine was told to finish, Stop has nothing left to stop.
TEST_F(SystemDlgTest, StopIsOffWhileTheEngineFinishes) {
    GateSleeper gate;
    context_.upgradeWaits = &gate;
    Page();
    Attach("mode=loader,reboot-ms=0");
    ChooseImages(12288);
    ClickUpgrade();
    ASSERT_TRUE(gate.WaitEntered());  // the finish wait
    ui_.queue().RunPending();
    EXPECT_EQ(view_.GetText(IDC_UPGRADE_PHASE), "Phase.Finishing");
    EXPECT_FALSE(Enabled(IDC_STOP));
    gate.Open();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(OnlyText(), "FirmWareUpgrateSuccess");
}

struct FailureCase {
    const char* engine;
    const char* reason;
};

class SystemDlgFailure : public SystemDlgTest, public ::testing::WithParamInterface<FailureCase> {};

// The box says why, and the status the engine was left in is looked at before it appears.
TEST_P(SystemDlgFailure, TheBoxNamesTheReason) {
    Page();
    Attach(GetParam().engine);
    ChooseImages(12288);
    Run();
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].title, "Title");
    EXPECT_EQ(view_.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(view_.messages[0].text, std::string("FirmWareUpgrateFail\n") + GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, SystemDlgFailure,
    ::testing::Values(FailureCase{"mode=mute", "Fail.NoModeAnswer"},
                      FailureCase{"reboot-ms=0,fault=no-return", "Fail.LoaderNotFound"},
                      FailureCase{"mode=loader,reboot-ms=0,fault=unplug@5", "Fail.BlockTransfer"},
                      FailureCase{"mode=loader,block-size=0", "Fail.NoBlockSize"},
                      FailureCase{"mode=loader,reboot-ms=0,fault=no-return-after-finish",
                                  "Fail.NotBack"}));

// A place that cannot take the image: the run stops before the question, with the reason.
TEST_F(SystemDlgTest, ABackupPlaceThatCannotTakeTheImageStopsBeforeTheStart) {
    WriteFile("not-a-folder", "x");
    context_.backupDir = dir_ / "not-a-folder";
    context_.historyFile = dir_ / "history.jsonl";
    Page();
    Attach("mode=loader,reboot-ms=0");
    ChooseImages();
    Run();
    EXPECT_TRUE(view_.questions.empty());
    EXPECT_TRUE(engine_->blockWrites().empty());
    const std::string& text = OnlyText();
    EXPECT_EQ(text.rfind("FirmWareUpgrateFail\nFail.BackupUnavailable\ncannot keep the backup", 0),
              0u)
        << text;
    EXPECT_NE(text.find("not a folder"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n\n"), std::string::npos) << "the reason names the backup already";
    ASSERT_EQ(History().size(), 1u);
    EXPECT_EQ(History()[0].outcome, "refused");
}

struct StopCase {
    const char* engine;
    int wait;  // the link's pause after which the stop comes
    const char* message;
};

class SystemDlgStop : public SystemDlgTest, public ::testing::WithParamInterface<StopCase> {};

// A Stop shows where it leaves the engine and what to do, and names the backup.
TEST_P(SystemDlgStop, SaysWhereTheEngineIsLeftAndWhereItsBackupIs) {
    context_.backupDir = dir_ / "backups";
    context_.historyFile = dir_ / "history.jsonl";
    Page();
    Attach(GetParam().engine);
    ChooseImages(20480, 2048);
    StopAfterWait(GetParam().wait);
    Run();
    const std::string& text = OnlyText();
    EXPECT_EQ(text.rfind(GetParam().message, 0), 0u) << text;
    ASSERT_EQ(History().size(), 1u);
    EXPECT_EQ(History()[0].outcome, "stopped");
    EXPECT_EQ(History()[0].reason, "Stop was pressed");
    if (History()[0].backup.empty()) {
        EXPECT_EQ(text, std::string(GetParam().message) + "\n\nBackupNone");
    } else {
        EXPECT_EQ(text, std::string(GetParam().message) + "\n\nBackup: " + History()[0].backup);
    }
    EXPECT_EQ(view_.GetPosition(IDC_PROGRESS), 0) << "after the message";
    EXPECT_TRUE(Idle());
}

INSTANTIATE_TEST_SUITE_P(
    Stops, SystemDlgStop,
    ::testing::Values(
        // After the first loader block: the engine still runs its application, nothing replaced.
        StopCase{"reboot-ms=0", 1, "StoppedInApplication"},
        // After the first firmware block was read back and rewritten: in the loader, backed up.
        StopCase{"mode=loader,reboot-ms=0", 2, "StoppedInLoader"}));

// After a stop, the next run's backup holds what the engine held before the first of them.
TEST_F(SystemDlgTest, AResumedBackupIsNamedAsWhatTheEngineHeldBeforeTheFirstRun) {
    context_.backupDir = dir_ / "backups";
    Page();
    Attach("mode=loader,reboot-ms=0");
    ChooseImages();
    StopAfterWait(2);
    Run();
    sleeper_.SetHook({});
    ASSERT_EQ(view_.messages.size(), 1u);
    const std::string first = view_.messages[0].text;
    const std::string path = first.substr(first.find("Backup: ") + 8);
    Run();
    ASSERT_EQ(view_.messages.size(), 2u);
    EXPECT_EQ(view_.messages[1].text, "FirmWareUpgrateSuccess\n\nBackup of the first: " + path);
}

// Every run leaves its line; one that cannot be written is a note in the box, not a failure.
TEST_F(SystemDlgTest, EveryRunIsWrittenToTheHistory) {
    context_.historyFile = dir_ / "state" / "history.jsonl";
    Page();
    Attach("reboot-ms=0");
    const auto firmware = ChooseImages();
    Run();
    const std::vector<HistoryEntry> history = History();
    ASSERT_EQ(history.size(), 1u);
    const HistoryEntry& line = history[0];
    EXPECT_EQ(line.outcome, "success");
    EXPECT_EQ(line.serial, "0002a0000000");
    EXPECT_EQ(line.place, "virtual-1");
    EXPECT_EQ(line.image, "firmware.enc");
    EXPECT_EQ(line.imageSize, firmware.size());
    EXPECT_EQ(line.imageSha256, os::Sha256Hex(firmware));

    context_.historyFile = dir_;  // a folder: no line can go there
    Run();
    ASSERT_EQ(view_.messages.size(), 2u);
    const std::string& text = view_.messages[1].text;
    EXPECT_EQ(text.rfind("FirmWareUpgrateSuccess\n\nNo history: ", 0), 0u) << text;
    EXPECT_EQ(view_.messages[1].icon, MessageIcon::Information);
}

// A language chosen is saved at once and used after the restart; the line says so.
TEST_F(SystemDlgTest, ALanguageChangeSaysItTakesEffectAfterTheRestart) {
    Page();
    EXPECT_EQ(view_.GetText(IDC_LANGUAGE_NOTE), "");
    Choose(1);
    EXPECT_EQ(view_.GetText(IDC_LANGUAGE_NOTE), "After the restart.");
    Choose(0);  // the language in use: nothing to wait for
    EXPECT_EQ(view_.GetText(IDC_LANGUAGE_NOTE), "");
}

TEST_F(SystemDlgTest, TheLastUpgradeLine) {
    Page();
    HistoryEntry last;
    last.time = "2026-12-07T13:15:00+01:00";
    last.image = "fw.enc";
    last.outcome = "success";
    page_->ShowLastUpgrade(true, last);
    EXPECT_EQ(view_.GetText(IDC_LAST_UPGRADE), "Last: 2026-12-07 13:15, fw.enc, LastSuccess");
    last.outcome = "stopped";
    page_->ShowLastUpgrade(true, last);
    EXPECT_EQ(view_.GetText(IDC_LAST_UPGRADE), "Last: 2026-12-07 13:15, fw.enc, LastStopped");
    page_->ShowLastUpgrade(true, std::nullopt);
    EXPECT_EQ(view_.GetText(IDC_LAST_UPGRADE), "LastUpgradeNone");
    page_->ShowLastUpgrade(false, last);
    EXPECT_EQ(view_.GetText(IDC_LAST_UPGRADE), "");
}

// A run that never began changed nothing the engine runs: the line names the last that did.
TEST_F(SystemDlgTest, TheLastUpgradeSkipsRunsThatNeverBegan) {
    const auto file = dir_ / "history.jsonl";
    std::string error;
    HistoryEntry entry;
    entry.serial = "0002a0000000";
    entry.place = "virtual-1";
    for (const char* outcome : {"failure", "success", "refused"}) {
        entry.outcome = outcome;
        entry.image = std::string(outcome) + ".enc";
        ASSERT_TRUE(AppendHistory(file, entry, error)) << error;
    }
    const auto last = LastUpgradeInHistory(file, {"0002a0000000", "", "virtual-1"});
    ASSERT_TRUE(last);
    EXPECT_EQ(last->image, "success.enc");
    EXPECT_FALSE(LastUpgradeInHistory(file, {"0002a0000009", "", "virtual-2"}));
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
}  // namespace kq::test
