// The shipped language files: every key the program uses has a real translation in both.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "l10n/settings.h"
#include "l10n/text.h"
#include "tests/support/temp_dir.h"

namespace kq {
namespace {

using kq::test::ReadBytes;

const char* const kProgramKeys[] = {
    "Tab.Led",
    "Tab.Flip",
    "Tab.System",
    "WarningGeneral.DeviceConnect",
    "WarningGeneral.DeviceDisconnect",
    "WarningGeneral.ProductId",
    "WarningGeneral.DeviceSilent",
    "WarningGeneral.DeviceInLoader",
    "WarningGeneral.DeviceNoPermission",
    "WarningGeneral.NoPermissionTitle",
    "WarningGeneral.NoPermission",
    "ConfigGeneral.English",
    "ConfigGeneral.SimpChinese",
    "Dialog",
    "System.Language",
    "System.confirm",
    "System.Cancel",
    "System.UpGrate",
    "System.UdiskFileName",
    "System.FirmWareUpGrate",
    "System.Stop",
    "Led.PowerCtrl",
    "Led.LedCtrl",
    "Led.On",
    "Led.Off",
    "Led.LedCurrent",
    "Led.SliderTitle",
    "Led.Write",
    "Led.Read",
    "FLIP.x",
    "FLIP.y",
    "FLIP.do",
    "WarningUart.Title",
    "WarningUart.CommunicationFail",
    "WarningUart.ReadFail",
    "WarningUart.InLoader",
    "WarningSystem.Title",
    "WarningSystem.FirmWareUpgrateSuccess",
    "WarningSystem.FirmWareUpgrateFail",
    "WarningSystem.InvalidFileName",
    "WarningSystem.NoLoader",
    "WarningSystem.BackupSaved",
    "WarningSystem.BackupFailed",
    "WarningSystem.CloseBeforeLoader",
    "WarningSystem.CloseDuringUpgrade",
    "WarningSystem.StopAndClose",
    "WarningSystem.KeepUpgrading",
    // Texts of the windows beyond the keys above.
    "System.BrowseTitle",
    "System.FilterEnc",
    "System.FilterBin",
    "System.FilterAll",
    "Prompt.Title",
    "Prompt.InvalidNumber",
    "Prompt.Range",
    "About.Title",
    "WarningConfig.Title",
    "WarningConfig.WriteFail",
    // What the windows say of an upgrade, two engines, a language change and the version.
    "WarningGeneral.EngineChangedTitle",
    "WarningGeneral.EngineChanged",
    "WarningGeneral.PageTitle",
    "System.Restart",
    "System.LanguageAfterRestart",
    "System.FilterImages",
    "System.Phase.Preparing",
    "System.Phase.Confirming",
    "System.Phase.Loader",
    "System.Phase.WaitingForLoader",
    "System.Phase.Firmware",
    "System.Phase.Finishing",
    "System.Phase.Checking",
    "System.Phase.Stopping",
    "System.Phase.StopAfterWait",
    "System.LastUpgrade",
    "System.LastUpgradeNone",
    "System.LastSuccess",
    "System.LastFailure",
    "System.LastStopped",
    "WarningUart.InLoaderTitle",
    "WarningSystem.Fail.NoModeAnswer",
    "WarningSystem.Fail.NoBlockSize",
    "WarningSystem.Fail.NoMemory",
    "WarningSystem.Fail.BlockTransfer",
    "WarningSystem.Fail.LoaderNotFound",
    "WarningSystem.Fail.FinishNotSent",
    "WarningSystem.Fail.OtherEngine",
    "WarningSystem.Fail.EngineBusy",
    "WarningSystem.Fail.BackupUnavailable",
    "WarningSystem.Fail.BackupNotSaved",
    "WarningSystem.Fail.StayedInLoader",
    "WarningSystem.Fail.UnexpectedMode",
    "WarningSystem.Fail.NotBack",
    "WarningSystem.FirmwareUnreadable",
    "WarningSystem.FirmwareSize",
    "WarningSystem.NoLoader",
    "WarningSystem.LoaderSize",
    "WarningSystem.ConfirmQuestion",
    "WarningSystem.ConfirmEngine",
    "WarningSystem.ConfirmPlace",
    "WarningSystem.ConfirmFile",
    "WarningSystem.ConfirmSha256",
    "WarningSystem.ConfirmLoader",
    "WarningSystem.ConfirmNoLoader",
    "WarningSystem.ConfirmTime",
    "WarningSystem.ConfirmLong",
    "WarningSystem.ConfirmUnknown",
    "WarningSystem.ConfirmNoProductId",
    "WarningSystem.Seconds",
    "WarningSystem.Minutes",
    "WarningSystem.StoppedInApplication",
    "WarningSystem.StoppedInLoader",
    "WarningSystem.StoppedNotFound",
    "WarningSystem.BackupResumed",
    "WarningSystem.BackupNone",
    "WarningSystem.HistoryFailed",
    "WarningSystem.CloseBeforeStart",
    "WarningSystem.CloseWhileFinishing",
    "WarningSystem.CloseAfterUpgrade",
    "About.Version",
    "About.Purpose",
};

class NoLocale final : public LocaleSource {
  public:
    unsigned SystemDefaultLanguage() const override { return kLangEnglish; }
};

class LanguageFileTest : public ::testing::TestWithParam<const char*> {
  protected:
    std::string Path() const { return std::string(KQ_LANGUAGE_SOURCE_DIR) + GetParam() + ".lang"; }
    Settings Loaded() const {
        Settings settings("/nonexistent/", locale_);
        settings.CurrentLanguageFile = Path();
        return settings;
    }

    NoLocale locale_;
};

TEST_P(LanguageFileTest, IsUtf8) {
    EXPECT_TRUE(text::IsValidUtf8(ReadBytes(Path())));
}

TEST_P(LanguageFileTest, TranslatesEveryKey) {
    const Settings settings = Loaded();
    for (const char* key : kProgramKeys) {
        const std::string raw = profile::GetString(Path(), "String", key, "", 300);
        EXPECT_FALSE(raw.empty()) << GetParam() << " lacks " << key;
        EXPECT_EQ(settings.Translate(key), raw);
    }
}

TEST_P(LanguageFileTest, HoldsNoUnknownOrRepeatedKeys) {
    const std::set<std::string> known(std::begin(kProgramKeys), std::end(kProgramKeys));
    std::map<std::string, int> seen;
    for (const std::string& entry : profile::GetSection(Path(), "String", 1 << 20)) {
        ++seen[entry.substr(0, entry.find('='))];
    }
    for (const auto& [key, count] : seen) {
        // The command line's texts are checked against its own table, by its tests.
        EXPECT_TRUE(known.count(key) || key.starts_with("Ctl."))
            << GetParam() << " has unknown key " << key;
        EXPECT_EQ(count, 1) << GetParam() << " repeats " << key;
    }
}

// A translation is cut to 299 bytes when it is read: every shipped text must fit whole, the
// command line's too.
TEST_P(LanguageFileTest, EveryTextFitsTheTranslationBuffer) {
    size_t texts = 0;
    for (const std::string& entry : profile::GetSection(Path(), "String", 1 << 20)) {
        const std::string key = entry.substr(0, entry.find('='));
        const std::string whole = profile::GetString(Path(), "String", key, "", 1 << 20);
        EXPECT_LE(whole.size(), 299u) << GetParam() << " " << key << " would be cut";
        ++texts;
    }
    EXPECT_GE(texts, std::size(kProgramKeys));
}

TEST_P(LanguageFileTest, IsCopiedBesideTheBuiltPrograms) {
    const std::string copy = std::string(KQ_LANGUAGE_BUILD_DIR) + GetParam() + ".lang";
    EXPECT_EQ(ReadBytes(copy), ReadBytes(Path()));
}

// The missing loader's text names both file names and has the place for the folders the program
// searched, which it fills in as they are on this system.
TEST_P(LanguageFileTest, MissingLoaderTextNamesTheFilesAndTheFolders) {
    const std::string text = Loaded().Translate("WarningSystem.NoLoader");
    for (const char* part : {"usbloader.bin", "usbloader.enc", "%1"}) {
        EXPECT_NE(text.find(part), std::string::npos) << GetParam() << " lacks " << part;
    }
}

INSTANTIATE_TEST_SUITE_P(Shipped, LanguageFileTest, ::testing::Values("English", "SimpChinese"));

TEST(EnglishFile, UsesProperWording) {
    Settings settings("/nonexistent/", NoLocale());
    settings.CurrentLanguageFile = std::string(KQ_LANGUAGE_SOURCE_DIR) + "English.lang";
    EXPECT_EQ(settings.Translate("System.UpGrate"), "Upgrade");
    EXPECT_EQ(settings.Translate("System.FirmWareUpGrate"), "Firmware upgrade");
    EXPECT_EQ(settings.Translate("WarningSystem.FirmWareUpgrateSuccess"),
              "Firmware upgrade succeeded.");
    EXPECT_EQ(settings.Translate("System.Stop"), "Stop");
    EXPECT_EQ(settings.Translate("Led.LedCurrent"), "LED current");
    EXPECT_EQ(settings.Translate("Led.PowerCtrl"), "Power");
    EXPECT_EQ(settings.Translate("Led.On"), "On");
    EXPECT_EQ(settings.Translate("Led.Off"), "Off");
    EXPECT_EQ(settings.Translate("System.FilterBin"), "Binary files");
}

TEST(SimpChineseFile, IsChinese) {
    Settings settings("/nonexistent/", NoLocale());
    settings.CurrentLanguageFile = std::string(KQ_LANGUAGE_SOURCE_DIR) + "SimpChinese.lang";
    EXPECT_EQ(settings.Translate("System.UpGrate"), "升级");
    EXPECT_EQ(settings.Translate("WarningSystem.FirmWareUpgrateSuccess"), "固件升级成功。");
    EXPECT_EQ(settings.Translate("System.FilterBin"), "二进制文件");
    EXPECT_EQ(settings.Translate("ConfigGeneral.SimpChinese"), "简体中文");
}

}  // namespace
}  // namespace kq
