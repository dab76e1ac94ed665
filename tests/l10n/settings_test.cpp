#include "l10n/settings.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "tests/support/temp_dir.h"

namespace kq {
namespace {

using kq::test::LanguagePath;
using kq::test::PathOf;
using kq::test::ReadBytes;
using kq::test::TempDir;
using kq::test::WriteBytes;

class FakeLocale final : public LocaleSource {
  public:
    explicit FakeLocale(unsigned id) : id_(id) {}
    unsigned SystemDefaultLanguage() const override { return id_; }

  private:
    unsigned id_;
};

const FakeLocale kEnglishUs(0x0409);
const FakeLocale kChinesePrc(0x0804);
const FakeLocale kChineseTaiwan(0x0404);
const FakeLocale kGerman(0x0407);

class SettingsTest : public ::testing::Test {
  protected:
    void Config(const std::string& content) { WriteBytes(dir_.file("Config.ini"), content); }
    void Language(const std::string& name, const std::string& content) {
        WriteBytes(LanguagePath(dir_.path(), name), content);
    }
    // The "dialog" section as (key, value) pairs, for comparing in one go.
    std::vector<std::pair<std::string, std::string>> DialogPairs() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const ConfigPair& p : settings_.ReadConfigSection("dialog")) {
            out.emplace_back(p.key, p.value);
        }
        return out;
    }
    std::string LanguageFile(const std::string& name) const {
        return LanguagePath(dir_.path(), name);
    }

    TempDir dir_;
    Settings settings_{dir_.path(), kEnglishUs};
};

TEST(ModulePaths, FolderEndsInOneSeparator) {
    ModulePathsRecord paths([] { return std::string("/opt/kq7300/kq7300tool"); });
    EXPECT_EQ(paths.fullPath(), "/opt/kq7300/kq7300tool");
    EXPECT_EQ(paths.moduleDir(), "/opt/kq7300/");
}

TEST(ModulePaths, ExecutableInTheRoot) {
    ModulePathsRecord paths([] { return std::string("/tool"); });
    EXPECT_EQ(paths.moduleDir(), "/");
}

TEST(ModulePaths, ComputedOnce) {
    int calls = 0;
    ModulePathsRecord paths([&] {
        ++calls;
        return std::string("/a/b");
    });
    const std::string& first = paths.moduleDir();
    EXPECT_EQ(&paths.moduleDir(), &first);
    EXPECT_EQ(paths.fullPath(), "/a/b");
    EXPECT_EQ(calls, 1);
}

#ifdef _WIN32
// As Windows gives names: backslashes after a drive letter.
TEST(ModulePaths, FolderWithADriveLetterEndsInOneBackslash) {
    ModulePathsRecord paths([] { return std::string("D:\\Tools\\tool.exe"); });
    EXPECT_EQ(paths.fullPath(), "D:\\Tools\\tool.exe");
    EXPECT_EQ(paths.moduleDir(), "D:\\Tools\\");
}

TEST(ModulePaths, ExecutableInTheRootOfADrive) {
    ModulePathsRecord paths([] { return std::string("D:\\tool.exe"); });
    EXPECT_EQ(paths.moduleDir(), "D:\\");
}
#endif

TEST(ModulePaths, DefaultIsTheRunningExecutable) {
    ModulePathsRecord paths;
    ASSERT_FALSE(paths.fullPath().empty());
    EXPECT_EQ(paths.moduleDir().back(), os::kSeparator);
    EXPECT_EQ(paths.fullPath().rfind(paths.moduleDir(), 0), 0u);
    EXPECT_EQ(paths.fullPath().find_first_of(os::kSeparators, paths.moduleDir().size()),
              std::string::npos);
#ifdef _WIN32
    EXPECT_EQ(paths.moduleDir()[1], ':') << paths.moduleDir();
#endif
}

#ifdef _WIN32
TEST(SystemLocale, IsTheSystemsDefaultLocale) {
    EXPECT_EQ(SystemLocale().SystemDefaultLanguage(), GetSystemDefaultLCID());
}

// Without Config.ini the system's language chooses. KQ_EXPECT_LCID names the locale the test
// asks wine for (tests/l10n/CMakeLists.txt runs this with a Chinese one too).
TEST(SystemLocale, ChoosesTheStartupLanguage) {
    if (const char* expected = std::getenv("KQ_EXPECT_LCID")) {
        ASSERT_EQ(GetSystemDefaultLCID(), std::stoul(expected, nullptr, 16));
    }
    const TempDir dir;
    const SystemLocale locale;
    Settings settings(dir.path(), locale);
    EXPECT_FALSE(settings.LanguageFilePath(dir.path()));
    const bool chinese = (GetSystemDefaultLCID() & 0xFF) == kLangChinese;
    EXPECT_EQ(settings.CurrentLanguageFile,
              LanguagePath(dir.path(), chinese ? "SimpChinese" : "English"));
}
#else
class SystemLocaleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i]) {
                setenv(kVariables[i], saved_[i]->c_str(), 1);
            } else {
                unsetenv(kVariables[i]);
            }
        }
    }
    static unsigned With(const char* variable, const char* value) {
        setenv(variable, value, 1);
        return SystemLocale().SystemDefaultLanguage() & 0xFF;
    }

    static constexpr const char* kVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::optional<std::string>> saved_;
};

TEST_F(SystemLocaleTest, ChineseOfAnyRegion) {
    EXPECT_EQ(With("LANG", "zh_CN.UTF-8"), kLangChinese);
    EXPECT_EQ(With("LANG", "zh_TW.UTF-8"), kLangChinese);
    EXPECT_EQ(With("LANG", "zh_HK"), kLangChinese);
}

TEST_F(SystemLocaleTest, OtherLanguages) {
    EXPECT_EQ(With("LANG", "en_US.UTF-8"), kLangEnglish);
    EXPECT_EQ(With("LANG", "de_DE.UTF-8"), 0x07u);
    EXPECT_EQ(With("LANG", "C.UTF-8"), kLangEnglish);
    EXPECT_EQ(With("LANG", "POSIX"), kLangEnglish);
    unsetenv("LANG");
    EXPECT_EQ(SystemLocale().SystemDefaultLanguage(), kLangEnglish);
}

TEST_F(SystemLocaleTest, LcAllThenLcMessagesThenLang) {
    setenv("LANG", "en_GB.UTF-8", 1);
    EXPECT_EQ(With("LC_MESSAGES", "zh_CN.UTF-8"), kLangChinese);
    EXPECT_EQ(With("LC_ALL", "fr_FR.UTF-8"), 0x0Cu);
    EXPECT_EQ(With("LC_ALL", ""), kLangChinese);  // empty counts as unset
}
#endif

TEST_F(SettingsTest, ConfiguredLanguageIsUsed) {
    Config("[themes]\nSolution=English\n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("English"));
}

TEST_F(SettingsTest, KeyNameIsMatchedWithoutRegardToCase) {
    Config("[THEMES]\nsolution = SimpChinese\n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("SimpChinese"));
}

TEST_F(SettingsTest, QuotedNameWithBlanks) {
    Config("[themes]\nSolution=  \"English\"  \n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("English"));
}

TEST_F(SettingsTest, NoConfigFileChoosesFromLocale) {
    Settings chinese(dir_.path(), kChinesePrc);
    EXPECT_FALSE(chinese.LanguageFilePath(dir_.path()));
    EXPECT_EQ(chinese.CurrentLanguageFile, LanguageFile("SimpChinese"));
    Settings taiwan(dir_.path(), kChineseTaiwan);
    EXPECT_FALSE(taiwan.LanguageFilePath(dir_.path()));
    EXPECT_EQ(taiwan.CurrentLanguageFile, LanguageFile("SimpChinese"));
    Settings german(dir_.path(), kGerman);
    EXPECT_FALSE(german.LanguageFilePath(dir_.path()));
    EXPECT_EQ(german.CurrentLanguageFile, LanguageFile("English"));
    EXPECT_FALSE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("English"));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("Config.ini")));  // nothing written back
}

TEST_F(SettingsTest, EmptyOrBlankNameChoosesFromLocale) {
    Settings chinese(dir_.path(), kChinesePrc);
    for (const char* content : {"[themes]\nSolution=\n", "[themes]\nSolution=   \n", "[themes]\n",
                                "[dialog]\ndlg1=true\n"}) {
        Config(content);
        EXPECT_FALSE(chinese.LanguageFilePath(dir_.path())) << content;
        EXPECT_EQ(chinese.CurrentLanguageFile, LanguageFile("SimpChinese"));
    }
}

TEST_F(SettingsTest, SeventyCharacterNameIsUsedAsSixtyThree) {
    const std::string name(70, 'L');
    Config("[themes]\nSolution=" + name + "\n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile(name.substr(0, 63)));
    EXPECT_EQ(settings_.ReadLanguageSetting(), name);
}

TEST_F(SettingsTest, LanguageSettingIsCutAt259Bytes) {
    const std::string name(300, 'n');
    Config("[themes]\nSolution=" + name + "\n");
    EXPECT_EQ(settings_.ReadLanguageSetting(), name.substr(0, 259));
}

TEST_F(SettingsTest, StartupNameCutKeepsWholeCharacters) {
    std::string name(61, 'a');
    name += "中";  // bytes 61..63: the 64-byte read keeps 63 bytes, which would split it
    Config("[themes]\nSolution=" + name + "\n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile(std::string(61, 'a')));
}

TEST_F(SettingsTest, ReadLanguageSettingSubstitutesNoDefault) {
    Settings chinese(dir_.path(), kChinesePrc);
    EXPECT_EQ(chinese.ReadLanguageSetting(), "");
    Config("[themes]\nSolution=French\n");
    EXPECT_EQ(chinese.ReadLanguageSetting(), "French");
}

TEST_F(SettingsTest, SaveLanguageChoiceSwitchesAtOnceAndStores) {
    Config("; tool settings\n[dialog]\ndlg1=true\n");
    settings_.LanguageFilePath(dir_.path());
    settings_.SaveLanguageChoice("SimpChinese");
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("SimpChinese"));
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    EXPECT_EQ(ReadBytes(settings_.configFile()),
              "; tool settings\n[dialog]\ndlg1=true\n\n[themes]\nSolution=SimpChinese\n");
    Settings nextStart(dir_.path(), kChinesePrc);
    EXPECT_TRUE(nextStart.LanguageFilePath(dir_.path()));
}

TEST_F(SettingsTest, SaveLanguageChoiceSwitchesEvenWhenTheWriteFails) {
    TempDir other;
    Settings unwritable(other.path() + "missing-folder/", kEnglishUs);
    unwritable.SaveLanguageChoice("SimpChinese");
    EXPECT_EQ(unwritable.CurrentLanguageFile,
              LanguagePath(other.path() + "missing-folder/", "SimpChinese"));
    EXPECT_EQ(unwritable.ReadLanguageSetting(), "");
}

TEST_F(SettingsTest, WriteLanguageSettingKeepsTheRunningLanguage) {
    Config("[themes]\r\nSolution=English\r\n");
    settings_.LanguageFilePath(dir_.path());
    settings_.WriteLanguageSetting("SimpChinese");
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("English"));
    EXPECT_EQ(ReadBytes(settings_.configFile()), "[themes]\r\nSolution=SimpChinese\r\n");
}

TEST_F(SettingsTest, ConfigSectionInFileOrder) {
    Config("[themes]\nSolution=SimpChinese\n[dialog]\ndlg3=true\ndlg1=true\n");
    const std::vector<std::pair<std::string, std::string>> expected = {{"dlg3", "true"},
                                                                       {"dlg1", "true"}};
    EXPECT_EQ(DialogPairs(), expected);
}

TEST_F(SettingsTest, ConfigSectionKeepsTheCaseOfKeysAndValues) {
    Config("[Dialog]\nDLG1=TRUE\ndlg2 = True\n");
    const std::vector<std::pair<std::string, std::string>> expected = {{"DLG1", "TRUE"},
                                                                       {"dlg2", "True"}};
    EXPECT_EQ(DialogPairs(), expected);
}

TEST_F(SettingsTest, ConfigEntryWithoutEqualsSignIsAllValue) {
    Config("[dialog]\ndlg2\ndlg1=a=b\n");
    const std::vector<std::pair<std::string, std::string>> expected = {{"", "dlg2"},
                                                                       {"dlg1", "a=b"}};
    EXPECT_EQ(DialogPairs(), expected);
}

TEST_F(SettingsTest, MissingConfigSectionIsEmpty) {
    EXPECT_TRUE(settings_.ReadConfigSection("dialog").empty());
    Config("[themes]\nSolution=English\n[dialog]\n\n");
    EXPECT_TRUE(settings_.ReadConfigSection("dialog").empty());
}

TEST_F(SettingsTest, DialogSectionIsCutAt260Bytes) {
    // 30 entries of "keyNN=value" (11 bytes, 12 with their zero): 21 fit whole in 259 bytes,
    // the 22nd keeps 259 - 252 - 1 = 6 bytes, the rest is not seen.
    std::string content = "[dialog]\n";
    for (int i = 10; i < 40; ++i) content += "key" + std::to_string(i) + "=value\n";
    content += "dlg1=true\n";
    Config(content);
    const std::vector<ConfigPair> pairs = settings_.ReadConfigSection("dialog");
    ASSERT_EQ(pairs.size(), 22u);
    EXPECT_EQ(pairs[20].key, "key30");
    EXPECT_EQ(pairs[20].value, "value");
    EXPECT_EQ(pairs[21].key, "key31");
    EXPECT_EQ(pairs[21].value, "");
    for (const ConfigPair& pair : pairs) EXPECT_NE(pair.key, "dlg1");
}

TEST_F(SettingsTest, NoLanguageFileConsultedBeforeStartup) {
    Language("English", "[String]\nLed.Write=Send\n");
    EXPECT_EQ(settings_.Translate("Led.Write"), "Write");
    EXPECT_EQ(settings_.Translate("WarningUart.CommunicationFail"), "CommunicationFail");
}

TEST_F(SettingsTest, TranslationOfTheCurrentLanguage) {
    Language("English", "[String]\nLed.Write=Send\n");
    Language("SimpChinese", "[String]\nLed.Write=写入\n");
    Config("[themes]\nSolution=SimpChinese\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("Led.Write"), "写入");
    EXPECT_EQ(settings_.Translate("led.WRITE"), "写入");
}

TEST_F(SettingsTest, LanguageWithoutFileFallsBack) {
    Config("[themes]\nSolution=French\n");
    EXPECT_TRUE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("French"));
    EXPECT_EQ(settings_.Translate("Tab.Led"), "Led");
    EXPECT_EQ(settings_.Translate("WarningUart.Title"), "Title");
    EXPECT_EQ(settings_.Translate("Dialog"), "Dialog");
}

TEST_F(SettingsTest, FallbackIsTheTextAfterTheFirstDot) {
    Language("English", "[String]\nLed.Write=\nEmpty.Quoted=\"\"\nBlank.Only=   \n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("one.two.three"), "two.three");
    EXPECT_EQ(settings_.Translate("trailing."), "");
    EXPECT_EQ(settings_.Translate("NoDot"), "NoDot");
    EXPECT_EQ(settings_.Translate("...."), "...");
    EXPECT_EQ(settings_.Translate(""), "");
    EXPECT_EQ(settings_.Translate("Led.Write"), "Write");
    EXPECT_EQ(settings_.Translate("Empty.Quoted"), "Quoted");
    EXPECT_EQ(settings_.Translate("Blank.Only"), "Only");
    EXPECT_EQ(settings_.Translate("中文.键"), "键");
}

TEST_F(SettingsTest, TranslationIsUsedByteForByte) {
    Language("English", "[String]\nA.b=  \"  a \\n b  \"  \nC.d=x=y ; not a comment\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("A.b"), "  a \\n b  ");
    EXPECT_EQ(settings_.Translate("C.d"), "x=y ; not a comment");
}

TEST_F(SettingsTest, OnlyTheStringSectionIsRead) {
    Language("English", "[Other]\nLed.Write=Wrong\n[String]\nLed.Read=Fetch\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("Led.Write"), "Write");
    EXPECT_EQ(settings_.Translate("Led.Read"), "Fetch");
}

TEST_F(SettingsTest, TranslationIsCutAt299Bytes) {
    Language(
        "English", "[String]\nLong.Key=" + std::string(400, 'x') + "\nHan.Key=" + [] {
            std::string s;
            for (int i = 0; i < 120; ++i) s += "中";
            return s;
        }() + "\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("Long.Key"), std::string(400, 'x').substr(0, 299));
    std::string han;
    for (int i = 0; i < 99; ++i) han += "中";  // 297 bytes: a 100th character would not fit
    EXPECT_EQ(settings_.Translate("Han.Key"), han);
}

TEST_F(SettingsTest, LanguageFileWithByteOrderMarkAndCrLf) {
    Language("English", "\xEF\xBB\xBF[String]\r\nLed.Write=Send\r\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("Led.Write"), "Send");
}

TEST_F(SettingsTest, Gb18030LanguageFileIsShownCorrectly) {
    // SimpChinese.lang saved on Windows: "简体中文" and "写入" in GB18030.
    Language("SimpChinese",
             "[String]\r\nConfigGeneral.SimpChinese=\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4\r\n"
             "Led.Write=\xD0\xB4\xC8\xEB\r\n");
    Settings chinese(dir_.path(), kChinesePrc);
    EXPECT_FALSE(chinese.LanguageFilePath(dir_.path()));
    EXPECT_EQ(chinese.Translate("ConfigGeneral.SimpChinese"), "简体中文");
    EXPECT_EQ(chinese.Translate("Led.Write"), "写入");
    EXPECT_EQ(chinese.Translate("Led.Read"), "Read");
}

TEST_F(SettingsTest, ByteOrderMarkedLanguageFileInGb18030) {
    Language("SimpChinese",
             "\xEF\xBB\xBF[String]\r\nLed.Write=\xD0\xB4\xC8\xEB\r\nLed.Read=\xFF\r\n");
    Settings chinese(dir_.path(), kChinesePrc);
    chinese.LanguageFilePath(dir_.path());
    EXPECT_EQ(chinese.Translate("Led.Write"), "写入");
    EXPECT_EQ(chinese.Translate("Led.Read"), "\xEF\xBF\xBD");
}

// The running program's language stays as it was read: a file changed on disk does not mix two
// versions into one window, while a change of language file reads the new one.
TEST_F(SettingsTest, LanguageFileIsReadOncePerLanguage) {
    Language("English", "[String]\nLed.Write=Send\nLed.Read=Fetch\n");
    Language("SimpChinese", "[String]\nLed.Write=写入\n");
    settings_.LanguageFilePath(dir_.path());
    EXPECT_EQ(settings_.Translate("Led.Write"), "Send");
    Language("English", "[String]\nLed.Write=Changed\n");
    EXPECT_EQ(settings_.Translate("Led.Write"), "Send");
    EXPECT_EQ(settings_.Translate("Led.Read"), "Fetch");

    settings_.SaveLanguageChoice("SimpChinese");
    EXPECT_EQ(settings_.Translate("Led.Write"), "写入");
    settings_.CurrentLanguageFile = LanguageFile("English");
    EXPECT_EQ(settings_.Translate("Led.Write"), "Changed");
    EXPECT_EQ(settings_.Translate("Led.Read"), "Read");

    const Settings copy = settings_;
    EXPECT_EQ(copy.Translate("Led.Write"), "Changed");
}

// Texts read ahead on another thread are the file's as it was then; a language chosen after
// the read starts is read for itself.
TEST_F(SettingsTest, TextsReadAheadAreTheOnesTranslated) {
    Language("English", "[String]\nLed.Write=Send\n");
    Language("SimpChinese", "[String]\nLed.Write=写入\n");
    settings_.LanguageFilePath(dir_.path());
    settings_.ReadTextsAhead().join();
    Language("English", "[String]\nLed.Write=Changed\n");
    EXPECT_EQ(settings_.Translate("Led.Write"), "Send");

    {
        const std::jthread ahead = settings_.ReadTextsAhead();
        settings_.CurrentLanguageFile = LanguageFile("SimpChinese");
        EXPECT_EQ(settings_.Translate("Led.Write"), "写入");
    }
    EXPECT_EQ(settings_.Translate("Led.Write"), "写入");

    settings_.CurrentLanguageFile.clear();
    EXPECT_FALSE(settings_.ReadTextsAhead().joinable());
}

TEST_F(SettingsTest, HugeFilesCountAsMissing) {
    std::string huge = "[String]\nLed.Write=Send\n";
    huge.resize(profile::kMaxFileSize + 1, ';');
    Language("English", huge);
    Config("[themes]\nSolution=SimpChinese\n[dialog]\ndlg1=true\n" + huge);
    Settings chinese(dir_.path(), kChinesePrc);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(chinese.LanguageFilePath(dir_.path()));
    EXPECT_TRUE(chinese.ReadConfigSection("dialog").empty());
    EXPECT_FALSE(settings_.LanguageFilePath(dir_.path()));
    EXPECT_EQ(settings_.Translate("Led.Write"), "Write");
    EXPECT_EQ(settings_.Translate("Led.Read"), "Read");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(LanguageFile("English") + " is larger than"), std::string::npos) << said;
    EXPECT_EQ(said.find(LanguageFile("English")), said.rfind(LanguageFile("English")))
        << "read more than once";
}

// Solution names a file in the Language folder and nothing else. A name that would reach out of
// it counts as no name: the locale chooses, and start-up asks as on a first run.
TEST_F(SettingsTest, LanguageNameThatLeavesTheFolderCountsAsNone) {
    TempDir base;
    const std::string program = base.file("a/b/");
    WriteBytes(base.file("x.lang"), "[String]\nLed.Write=Elsewhere\n");
    WriteBytes(LanguagePath(program, "sub/English"), "[String]\nLed.Write=Elsewhere\n");
    WriteBytes(LanguagePath(program, "English"), "[String]\nLed.Write=Send\n");
    Settings settings(program, kEnglishUs);
    for (const char* name : {"../../x", "..\\..\\x", "sub/English", "/etc/x", "..", "a..b",
                             "Eng\x01lish", "Eng\x7Flish", "Eng\tlish"}) {
        WriteBytes(program + "Config.ini", "[themes]\nSolution=" + std::string(name) + "\n");
        EXPECT_FALSE(settings.LanguageFilePath(program)) << name;
        EXPECT_EQ(settings.CurrentLanguageFile, LanguagePath(program, "English")) << name;
        EXPECT_EQ(settings.Translate("Led.Write"), "Send") << name;
    }
    for (const char* name : {"English", "French", "Deutsch (Schweiz)", "中文", ".hidden"}) {
        WriteBytes(program + "Config.ini", "[themes]\nSolution=" + std::string(name) + "\n");
        EXPECT_TRUE(settings.LanguageFilePath(program)) << name;
        EXPECT_EQ(settings.CurrentLanguageFile, LanguagePath(program, name));
    }
}
TEST_F(SettingsTest, FailedStoreIsReportedEachTimeAndNoticedOnce) {
    // Cannot be written, even by root.
    ASSERT_TRUE(std::filesystem::create_directory(PathOf(dir_.file("Config.ini"))));
    EXPECT_FALSE(settings_.TakeWriteFailureNotice());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(settings_.SaveLanguageChoice("SimpChinese"));
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot save the language in " + dir_.file("Config.ini")),
              std::string::npos)
        << said;
    EXPECT_EQ(settings_.CurrentLanguageFile, LanguageFile("SimpChinese"));
    EXPECT_TRUE(settings_.TakeWriteFailureNotice());
    EXPECT_FALSE(settings_.TakeWriteFailureNotice());

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(settings_.WriteLanguageSetting("English"));
    said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot save the language"), std::string::npos) << said;
    EXPECT_FALSE(settings_.TakeWriteFailureNotice());
}

TEST_F(SettingsTest, SuccessfulStoreIsNotReported) {
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(settings_.SaveLanguageChoice("English"));
    EXPECT_TRUE(settings_.WriteLanguageSetting("SimpChinese"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(settings_.TakeWriteFailureNotice());
}

TEST_F(SettingsTest, ProgramDirectoryGetsOneTrailingSeparator) {
#ifdef _WIN32
    Settings bare("D:\\Tools", kEnglishUs);
    EXPECT_EQ(bare.programDir(), "D:\\Tools\\");
    EXPECT_EQ(bare.configFile(), "D:\\Tools\\Config.ini");
    Settings root("D:\\", kEnglishUs);
    EXPECT_EQ(root.configFile(), "D:\\Config.ini");
#else
    Settings bare("/opt/kq7300", kEnglishUs);
    EXPECT_EQ(bare.programDir(), "/opt/kq7300/");
    EXPECT_EQ(bare.configFile(), "/opt/kq7300/Config.ini");
#endif
    EXPECT_EQ(settings_.configFile(), dir_.path() + "Config.ini");
}

#ifdef _WIN32
// The program's folder as Windows names it (here the temporary folder, C:\users\...\Temp\...):
// Config.ini and the language files beside the program are found, and a change is written there.
TEST_F(SettingsTest, ProgramFolderWithADriveLetterAndBackslashes) {
    const std::string& program = dir_.path();
    ASSERT_EQ(program.substr(1, 2), ":\\") << program;
    ASSERT_EQ(program.find('/'), std::string::npos) << program;
    Config("[themes]\r\nSolution=SimpChinese\r\n[dialog]\r\ndlg2=true\r\n");
    Language("SimpChinese", "[String]\r\nLed.Write=写入\r\n");
    EXPECT_TRUE(settings_.LanguageFilePath(program));
    EXPECT_EQ(settings_.CurrentLanguageFile, program + "Language\\SimpChinese.lang");
    EXPECT_EQ(settings_.Translate("Led.Write"), "写入");
    EXPECT_EQ(DialogPairs(), (std::vector<std::pair<std::string, std::string>>{{"dlg2", "true"}}));
    EXPECT_TRUE(settings_.WriteLanguageSetting("English"));
    EXPECT_EQ(ReadBytes(program + "Config.ini"),
              "[themes]\r\nSolution=English\r\n[dialog]\r\ndlg2=true\r\n");
}

// An installed program's Config.ini that this user may not change (read-only here): changes go to
// the user's own copy, which is read from then on.
TEST(UserConfigCopy, ChangesGoToTheUsersCopyWhenTheConfigIsReadOnly) {
    TempDir base;
    const std::string program = base.file("program\\");
    const std::string user = base.file("AppData\\kq7300\\");
    WriteBytes(program + "Config.ini", "; shipped\n[dialog]\ndlg2=true\n");
    const std::wstring shipped = PathOf(program + "Config.ini").wstring();
    ASSERT_TRUE(SetFileAttributesW(shipped.c_str(), FILE_ATTRIBUTE_READONLY));
    FakeLocale locale(kLangEnglish);
    Settings settings(program, locale, user);
    EXPECT_TRUE(settings.SaveLanguageChoice("SimpChinese"));
    EXPECT_TRUE(settings.WriteLanguageSetting("English"));
    Settings nextStart(program, locale, user);
    EXPECT_EQ(nextStart.configFile(), user + "Config.ini");
    EXPECT_EQ(nextStart.ReadLanguageSetting(), "English");
    EXPECT_EQ(nextStart.ReadConfigSection("dialog").size(), 1u);
    EXPECT_EQ(ReadBytes(user + "Config.ini"),
              "; shipped\n[dialog]\ndlg2=true\n\n[themes]\nSolution=English\n");
    SetFileAttributesW(shipped.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(program + "Config.ini"), "; shipped\n[dialog]\ndlg2=true\n");
}

TEST(UserConfigCopy, TheUsersFolderIsInAppData) {
    const wchar_t* appData = _wgetenv(L"APPDATA");
    ASSERT_NE(appData, nullptr);
    EXPECT_EQ(Settings::DefaultUserDir(), kq::test::Utf8Of(appData) + "\\kq7300\\");
}
#else
// Modes that keep an ordinary user out, tried by a child process that has become one (fork and
// setresuid): POSIX systems only. On Windows a read-only Config.ini stands for them (above).

// An installed program: its folder belongs to root and the user may not write there; the user's
// folders are under a home of their own.
struct InstalledProgram {
    explicit InstalledProgram(const std::string& shippedConfig, mode_t configMode = 0644) {
        WriteBytes(program + "Config.ini", shippedConfig);
        std::filesystem::create_directories(base.file("home"));
        chmod((program + "Config.ini").c_str(), configMode);
        chmod(base.path().c_str(), 0755);
        chmod(program.c_str(), 0555);
        chmod(base.file("home").c_str(), 0777);
    }
    ~InstalledProgram() { chmod(program.c_str(), 0755); }

    TempDir base;
    const std::string program = base.file("program/");
    const std::string user = base.file("home/.config/kq7300/");
};

constexpr int kNotAnOrdinaryUser = 77;

// Runs body in a child process as an ordinary user (modes do not bind the superuser) and gives
// its exit code, or kNotAnOrdinaryUser when the child cannot become one.
int ExitCodeAsOrdinaryUser(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
            _exit(kNotAnOrdinaryUser);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(UserConfigCopy, ChangesGoToTheUsersCopyWhenTheProgramFolderIsReadOnly) {
    const InstalledProgram installed("; shipped\n[dialog]\ndlg2=true\n");
    const std::string& program = installed.program;
    const std::string& user = installed.user;
    const int code = ExitCodeAsOrdinaryUser([&] {
        FakeLocale locale(kLangEnglish);
        Settings settings(program, locale, user);
        settings.WriteLanguageSetting("SimpChinese");
        Settings again(program, locale, user);
        const bool ok = again.ReadLanguageSetting() == "SimpChinese" &&
                        again.LanguageFilePath(program) &&
                        again.ReadConfigSection("dialog").size() == 1 &&
                        again.configFile() == user + "Config.ini";
        return ok ? 0 : 1;
    });
    if (code == kNotAnOrdinaryUser) GTEST_SKIP() << "cannot act as an ordinary user here";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadBytes(program + "Config.ini"), "; shipped\n[dialog]\ndlg2=true\n");
    EXPECT_EQ(ReadBytes(user + "Config.ini"),
              "; shipped\n[dialog]\ndlg2=true\n\n[themes]\nSolution=SimpChinese\n");
}

// The shipped Config.ini is often read-only too: the copy is still the user's own, writable file,
// so that later changes are kept.
TEST(UserConfigCopy, CopyOfAReadOnlyConfigIsTheUsersOwnFile) {
    const InstalledProgram installed("[dialog]\ndlg2=true\n", 0444);
    const std::string& program = installed.program;
    const std::string& user = installed.user;
    const int code = ExitCodeAsOrdinaryUser([&] {
        umask(022);
        FakeLocale locale(kLangEnglish);
        Settings settings(program, locale, user);
        if (!settings.SaveLanguageChoice("SimpChinese")) return 1;
        struct stat st {};
        if (stat((user + "Config.ini").c_str(), &st) != 0 || (st.st_mode & 07777) != 0644) return 2;
        if (!settings.WriteLanguageSetting("English")) return 3;
        Settings nextStart(program, locale, user);
        return nextStart.ReadLanguageSetting() == "English" ? 0 : 4;
    });
    if (code == kNotAnOrdinaryUser) GTEST_SKIP() << "cannot act as an ordinary user here";
    EXPECT_EQ(code, 0) << "1 first store, 2 mode of the copy, 3 second store, 4 read back";
    EXPECT_EQ(ReadBytes(program + "Config.ini"), "[dialog]\ndlg2=true\n");
    EXPECT_EQ(ReadBytes(user + "Config.ini"),
              "[dialog]\ndlg2=true\n\n[themes]\nSolution=English\n");
}

#endif

#ifndef _WIN32
// A system install as the package lays it out, in a folder of the test's own: the
// administrator's file in etc/, a link to it beside the programs, and a user's home.
struct SystemInstall {
    SystemInstall() {
        WriteBytes(etc, "; shipped\n[themes]\n\n[dialog]\ndlg2=true\n");
        std::filesystem::create_directories(PathOf(program));
        std::filesystem::create_symlink(etc, program + "Config.ini");
    }
    Settings Make(const std::string& userDir) const {
        return Settings(program, locale, userDir, {etc, program});
    }

    TempDir base;
    const std::string etc = base.file("etc/kq7300/Config.ini");
    const std::string program = base.file("usr/lib/kq7300/");
    const std::string user = base.file("home/.config/kq7300/");
    FakeLocale locale{kLangEnglish};
};

// Whoever runs the program, root too, may write the system's file; it is not the user's to
// change all the same. The change goes to the user's copy and the link stays a link.
TEST(SystemConfig, ChangesGoToTheUsersCopyWhoeverMayWriteTheSystemsFile) {
    const SystemInstall install;
    ASSERT_TRUE(os::MayWrite(install.etc));
    Settings settings = install.Make(install.user);
    EXPECT_EQ(settings.configFile(), install.program + "Config.ini");
    EXPECT_FALSE(settings.LanguageFilePath(install.program));
    EXPECT_TRUE(settings.SaveLanguageChoice("SimpChinese"));
    EXPECT_TRUE(settings.WriteLanguageSetting("English"));
    EXPECT_EQ(ReadBytes(install.etc), "; shipped\n[themes]\n\n[dialog]\ndlg2=true\n");
    EXPECT_TRUE(std::filesystem::is_symlink(PathOf(install.program + "Config.ini")));
    EXPECT_EQ(ReadBytes(install.user + "Config.ini"),
              "; shipped\n[themes]\nSolution=English\n\n[dialog]\ndlg2=true\n");
    Settings nextStart = install.Make(install.user);
    EXPECT_EQ(nextStart.configFile(), install.user + "Config.ini");
    EXPECT_TRUE(nextStart.LanguageFilePath(install.program));
}

// The administrator's edit is every user's default, as long as they have no copy of their own.
TEST(SystemConfig, TheAdministratorsEditIsReadThroughTheLink) {
    const SystemInstall install;
    WriteBytes(install.etc, "[themes]\nSolution=SimpChinese\n[dialog]\ndlg3=true\n");
    Settings settings = install.Make(install.user);
    EXPECT_TRUE(settings.LanguageFilePath(install.program));
    EXPECT_EQ(settings.CurrentLanguageFile, LanguagePath(install.program, "SimpChinese"));
    EXPECT_EQ(settings.ReadConfigSection("dialog").size(), 1u);
}

// The file's place decides: beside the installed programs, whatever stands there (the link,
// a file put in its place, a link whose end was removed), and any file that leads to the
// system's. Elsewhere the same build writes its own Config.ini, as a source install does.
TEST(SystemConfig, WhichFilesAreTheSystems) {
    const SystemInstall install;
    Settings settings = install.Make(install.user);
    const std::string& b = install.base.path();
    WriteBytes(b + "plain.ini", "");
    std::filesystem::create_symlink(install.etc, b + "link.ini");
    std::filesystem::create_symlink("link.ini", b + "chain.ini");
    std::filesystem::create_symlink(b + "loop.ini", b + "loop.ini");
    const std::pair<std::string, bool> cases[] = {
        {install.etc, true},
        {install.program + "Config.ini", true},
        {b + "usr/lib/kq7300/../kq7300/Config.ini", true},
        {b + "link.ini", true},
        {b + "chain.ini", true},
        {b + "loop.ini", true},
        {b + "plain.ini", false},
        {b + "missing.ini", false},
        {install.user + "Config.ini", false},
    };
    for (const auto& [file, system] : cases) {
        EXPECT_EQ(settings.IsSystemFile(file), system) << file;
    }
    EXPECT_FALSE(Settings(install.program, install.locale, install.user)
                     .IsSystemFile(install.program + "Config.ini"))
        << "a source install has no system file";

    std::filesystem::remove(PathOf(install.etc));
    EXPECT_TRUE(settings.IsSystemFile(install.program + "Config.ini"));
    EXPECT_TRUE(settings.WriteLanguageSetting("English"));
    EXPECT_FALSE(std::filesystem::exists(PathOf(install.etc)));
    EXPECT_TRUE(std::filesystem::is_symlink(PathOf(install.program + "Config.ini")));

    std::filesystem::remove(PathOf(install.program + "Config.ini"));
    WriteBytes(install.program + "Config.ini", "[themes]\n");
    std::filesystem::remove(PathOf(install.user + "Config.ini"));
    EXPECT_TRUE(settings.WriteLanguageSetting("SimpChinese"));
    EXPECT_EQ(ReadBytes(install.program + "Config.ini"), "[themes]\n");
    EXPECT_EQ(ReadBytes(install.user + "Config.ini"), "[themes]\nSolution=SimpChinese\n");

    const std::string buildTree = b + "build/bin/";
    std::filesystem::create_directories(PathOf(buildTree));
    Settings built(buildTree, install.locale, install.user + "../other/",
                   {install.etc, install.program});
    EXPECT_TRUE(built.WriteLanguageSetting("English"));
    EXPECT_EQ(ReadBytes(buildTree + "Config.ini"), "[themes]\nSolution=English\n");
}

// With no folder for the user's copy the change is refused and said, not written to the system.
TEST(SystemConfig, NoUserFolderMeansNoChange) {
    const SystemInstall install;
    Settings settings = install.Make("");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(settings.WriteLanguageSetting("SimpChinese"));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("is the system's settings file"), std::string::npos) << said;
    EXPECT_TRUE(settings.TakeWriteFailureNotice());
    EXPECT_EQ(ReadBytes(install.etc), "; shipped\n[themes]\n\n[dialog]\ndlg2=true\n");
}
#endif

TEST(UserConfigCopy, AWritableProgramFolderKeepsItsOwnConfig) {
    TempDir base;
    FakeLocale locale(kLangEnglish);
    Settings settings(base.file("program/"), locale, base.file("user/"));
    std::filesystem::create_directories(PathOf(base.file("program")));
    settings.WriteLanguageSetting("English");
    EXPECT_EQ(ReadBytes(base.file("program/Config.ini")), "[themes]\nSolution=English\n");
    EXPECT_FALSE(std::filesystem::exists(PathOf(base.file("user"))));
}

}  // namespace
}  // namespace kq
