#include "app/app_font.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace kq::test {
namespace {

constexpr const char* kFontDir = "/usr/share/fonts/truetype/wqy";

using Config = std::unique_ptr<FcConfig, decltype(&FcConfigDestroy)>;

// A configuration of its own: the window font's folder and one rule.
Config ConfigWith(const std::string& rule) {
    const std::string xml = std::string("<?xml version=\"1.0\"?><fontconfig><dir>") + kFontDir +
                            "</dir>" + rule + "</fontconfig>";
    Config config(FcConfigCreate(), FcConfigDestroy);
    EXPECT_TRUE(FcConfigParseAndLoadFromMemory(
        config.get(), reinterpret_cast<const FcChar8*>(xml.c_str()), FcTrue));
    EXPECT_TRUE(FcConfigBuildFonts(config.get()));
    return config;
}

std::string HintingRule(const char* family, bool hinting) {
    return std::string("<match target=\"font\"><test name=\"family\"><string>") + family +
           "</string></test><edit name=\"hinting\" mode=\"assign\"><bool>" +
           (hinting ? "true" : "false") + "</bool></edit></match>";
}

class ConfiguredFontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::filesystem::path(kFontDir) / "wqy-microhei.ttc"))
            GTEST_SKIP() << "fonts-wqy-microhei is not installed";
    }
};

TEST_F(ConfiguredFontTest, FollowsTheRulesForTheFamily) {
    const std::string family = kWindowFontFamily.toStdString();
    struct Case {
        const char* what;
        QString asked;
        std::string rule;
        bool installed;
        QFont::HintingPreference hinting;
    } cases[] = {
        {"hinting off for the family", kWindowFontFamily, HintingRule(family.c_str(), false), true,
         QFont::PreferNoHinting},
        {"hinting on for the family", kWindowFontFamily, HintingRule(family.c_str(), true), true,
         QFont::PreferDefaultHinting},
        {"no rule", kWindowFontFamily, "", true, QFont::PreferDefaultHinting},
        {"hinting off for another family", kWindowFontFamily, HintingRule("DejaVu Sans", false),
         true, QFont::PreferDefaultHinting},
        {"a family in another case", kWindowFontFamily.toLower(), "", true,
         QFont::PreferDefaultHinting},
        // The configuration's only font is matched, but it is not of the family asked for.
        {"a family the configuration lacks", "DejaVu Sans", "", false, QFont::PreferDefaultHinting},
    };
    for (const Case& c : cases) {
        const Config config = ConfigWith(c.rule);
        const ConfiguredFont configured = ReadConfiguredFont(c.asked, config.get());
        EXPECT_EQ(configured.installed, c.installed) << c.what;
        EXPECT_EQ(configured.hinting, c.hinting) << c.what;
    }
}

// The package that installs the font turns its hinting off; Qt alone would hint it anyway.
TEST_F(ConfiguredFontTest, TheSystemConfigurationTurnsTheWindowFontsHintingOff) {
    const ConfiguredFont configured = ReadConfiguredFont(kWindowFontFamily);
    EXPECT_TRUE(configured.installed);
    EXPECT_EQ(configured.hinting, QFont::PreferNoHinting);
}

}  // namespace
}  // namespace kq::test
