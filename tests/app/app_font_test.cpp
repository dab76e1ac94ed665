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

class ConfiguredHintingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::filesystem::path(kFontDir) / "wqy-microhei.ttc"))
            GTEST_SKIP() << "fonts-wqy-microhei is not installed";
    }
};

TEST_F(ConfiguredHintingTest, FollowsTheRulesForTheFamily) {
    const std::string family = kWindowFontFamily.toStdString();
    struct Case {
        const char* what;
        std::string rule;
        QFont::HintingPreference expected;
    } cases[] = {
        {"hinting off for the family", HintingRule(family.c_str(), false), QFont::PreferNoHinting},
        {"hinting on for the family", HintingRule(family.c_str(), true),
         QFont::PreferDefaultHinting},
        {"no rule", "", QFont::PreferDefaultHinting},
        {"hinting off for another family", HintingRule("DejaVu Sans", false),
         QFont::PreferDefaultHinting},
    };
    for (const Case& c : cases) {
        const Config config = ConfigWith(c.rule);
        EXPECT_EQ(ConfiguredHinting(kWindowFontFamily, config.get()), c.expected) << c.what;
    }
}

// The package that installs the font turns its hinting off; Qt alone would hint it anyway.
TEST_F(ConfiguredHintingTest, TheSystemConfigurationTurnsTheWindowFontsHintingOff) {
    EXPECT_EQ(ConfiguredHinting(kWindowFontFamily), QFont::PreferNoHinting);
}

}  // namespace
}  // namespace kq::test
