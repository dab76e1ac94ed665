#include "dialogs/language_dlg.h"

#include <kq_version.h>

#include "dialogs/about_dlg.h"
#include "dialogs/tool_app.h"
#include "os/os.h"
#include "res/resource.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

class LanguageDlgTest : public DialogWorld {
  protected:
    LanguageDlgTest() { dialog_.Attach(&view_); }

    FakeView view_{settings_};
    CLanguageDlg dialog_{settings_};
};

struct LocaleCase {
    unsigned locale;
    int preselected;
    const char* stored;
};

class LanguageDlgLocales : public LanguageDlgTest,
                           public ::testing::WithParamInterface<LocaleCase> {};

TEST_P(LanguageDlgLocales, PreselectsByLocaleAndOkStoresIt) {
    locale_.language = GetParam().locale;
    dialog_.OnInitDialog();
    EXPECT_EQ(view_.GetSelection(IDC_LANGUAGE_LIST), GetParam().preselected);
    EXPECT_EQ(view_.Get(IDC_LANGUAGE_LIST).items,
              (std::vector<std::string>{"English", "Simplified Chinese"}));
    EXPECT_EQ(view_.translations, 1);
    EXPECT_EQ(view_.focus, 1) << "OK has the focus";
    dialog_.OnOK();
    EXPECT_EQ(view_.ended, true);
    EXPECT_EQ(settings_.ReadLanguageSetting(), GetParam().stored);
    EXPECT_EQ(settings_.CurrentLanguageFile,
              settings_.programDir() + "Language" + os::kSeparator + GetParam().stored + ".lang");
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageDlgLocales,
                         ::testing::Values(LocaleCase{0x804 & 0xFF, 1, "SimpChinese"},
                                           LocaleCase{0x404 & 0xFF, 1, "SimpChinese"},
                                           LocaleCase{kLangEnglish, 0, "English"},
                                           LocaleCase{0x07, 0, "English"}));

TEST_F(LanguageDlgTest, OkStoresTheChosenEntryAndNothingWithoutOne) {
    dialog_.OnInitDialog();
    view_.Pick(IDC_LANGUAGE_LIST, 1);
    dialog_.OnOK();
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");

    WriteConfig("");
    view_.Pick(IDC_LANGUAGE_LIST, -1);
    dialog_.OnOK();
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(view_.ended, true);
}

// Start-up, with the two dialogs answered by the test.
struct FakeStartUp final : StartUpView {
    void RunLanguageDialog() override {
        shown.push_back("language");
        if (answer) answer();
    }
    void ShowMessage(const Message& message) override {
        shown.push_back("message " + message.text);
    }
    void RunMainWindow() override { shown.push_back("main"); }
    std::vector<std::string> shown;
    std::function<void()> answer;
};

class StartUpTest : public DialogWorld {
  protected:
    std::vector<std::string> Run() {
        EXPECT_FALSE(CToolApp(settings_, ProgramDir(), startUp_).InitInstance());
        return startUp_.shown;
    }
    // The language dialog's OK with an entry chosen.
    void Confirm(int index) {
        startUp_.answer = [this, index] {
            FakeView view(settings_);
            CLanguageDlg dialog(settings_);
            dialog.Attach(&view);
            dialog.OnInitDialog();
            view.Pick(IDC_LANGUAGE_LIST, index);
            dialog.OnOK();
        };
    }

    FakeStartUp startUp_;
};

TEST_F(StartUpTest, FirstRunAsksForTheLanguageAndTheWindowSpeaksIt) {
    Confirm(1);
    EXPECT_EQ(Run(), (std::vector<std::string>{"language", "main"}));
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    EXPECT_EQ(settings_.Translate("Tab.Led"), "灯光");
}

TEST_F(StartUpTest, CancelledFirstRunStillOpensTheWindowInTheLocaleLanguage) {
    locale_.language = kLangChinese;
    EXPECT_EQ(Run(), (std::vector<std::string>{"language", "main"}));
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(settings_.Translate("Tab.Led"), "灯光");
}

TEST_F(StartUpTest, ConfiguredLanguageGoesStraightToTheWindow) {
    WriteConfig("[themes]\nsolution=English\n");
    locale_.language = kLangChinese;
    EXPECT_EQ(Run(), std::vector<std::string>{"main"});
    EXPECT_EQ(settings_.Translate("Tab.Led"), "LED");
}

TEST_F(StartUpTest, AFirstChoiceThatCannotBeSavedIsToldBeforeTheWindowOpens) {
    std::filesystem::create_directory(dir_ / "Config.ini");  // no one can write it
    Confirm(0);
    ::testing::internal::CaptureStderr();
    const auto shown = Run();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(shown, (std::vector<std::string>{"language", "message WriteFail", "main"}));
    EXPECT_EQ(settings_.Translate("Tab.Led"), "LED");
}

// The About box names the version --version prints, in the window's language.
TEST_F(LanguageDlgTest, TheAboutBoxNamesTheVersionInTheLanguageInUse) {
    WriteFile("Language/SimpChinese.lang", "[String]\nAbout.Version=工具 %1 版\n");
    for (const char* language : {"English", "SimpChinese"}) {
        UseLanguage(language);
        FakeView view(settings_);
        CAboutDlg about(settings_);
        about.Attach(&view);
        about.OnInitDialog();
        EXPECT_EQ(view.translations, 1);
        EXPECT_EQ(view.GetText(IDC_ABOUT_VERSION), std::string(language) == "English"
                                                       ? std::string("Tool ") + KQ_VERSION
                                                       : std::string("工具 ") + KQ_VERSION + " 版");
    }
}

}  // namespace
}  // namespace kq::test
