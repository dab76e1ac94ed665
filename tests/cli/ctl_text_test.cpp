#include "cli/ctl_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/ctl.h"
#include "l10n/settings.h"
#include "os/os.h"
#include "tests/support/env_guard.h"
#include "upgrade/image_files.h"

namespace kq {
namespace {

TEST(CtlLanguageTest, FollowsTheLocaleAsGettextDoes) {
    struct Case {
        LocaleVariables variables;  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
        std::optional<unsigned> system;
        const char* language;
    };
    const std::optional<unsigned> none;
    const Case cases[] = {
        {{}, none, "English"},
        {{"", "", "", "zh_CN.UTF-8"}, none, "SimpChinese"},
        {{"", "", "", "zh"}, none, "SimpChinese"},
        // The only Chinese there is serves every Chinese locale.
        {{"", "", "", "zh_TW.UTF-8"}, none, "SimpChinese"},
        {{"", "", "", "zh_HK"}, none, "SimpChinese"},
        {{"", "", "", "C"}, none, "English"},
        {{"", "", "", "POSIX"}, none, "English"},
        {{"", "C.UTF-8", "", "zh_CN.UTF-8"}, none, "English"},
        {{"", "", "", "de_DE.UTF-8"}, none, "English"},
        {{"", "", "", "en_GB.UTF-8"}, none, "English"},
        // LC_ALL, then LC_MESSAGES, then LANG; one set empty counts as unset.
        {{"", "zh_CN.UTF-8", "en_US.UTF-8", "en_US.UTF-8"}, none, "SimpChinese"},
        {{"", "en_US.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8"}, none, "English"},
        {{"", "", "zh_CN.UTF-8", "en_US.UTF-8"}, none, "SimpChinese"},
        {{"", "", "C", "zh_CN.UTF-8"}, none, "English"},
        // LANGUAGE comes first, its languages in order, those without a file passed over...
        {{"zh_CN:en", "", "", "en_US.UTF-8"}, none, "SimpChinese"},
        {{"en:zh_CN", "", "", "zh_CN.UTF-8"}, none, "English"},
        {{"fr:de_AT::zh", "", "", "en_US.UTF-8"}, none, "SimpChinese"},
        {{"fr", "", "", "zh_CN.UTF-8"}, none, "SimpChinese"},
        // ...but counts for nothing in the C locale, also the one of no variable at all.
        {{"zh_CN", "C", "", ""}, none, "English"},
        {{"zh_CN", "", "", ""}, none, "English"},
        // Windows: the display language when no locale variable is set, LANGUAGE before it.
        {{}, 0x0804, "SimpChinese"},
        {{}, 0x0404, "SimpChinese"},
        {{}, 0x0409, "English"},
        {{}, 0x0407, "English"},
        {{"zh_CN", "", "", ""}, 0x0409, "SimpChinese"},
        {{"", "", "", "en_US"}, 0x0804, "English"},
        {{"", "", "", "C"}, 0x0804, "English"},
    };
    for (const Case& c : cases) {
        const LocaleVariables& v = c.variables;
        EXPECT_EQ(CtlLanguageName(v, c.system), c.language)
            << "LANGUAGE=" << v.language << " LC_ALL=" << v.lcAll << " LC_MESSAGES=" << v.lcMessages
            << " LANG=" << v.lang << " system=" << (c.system ? *c.system : 0);
    }
}

TEST(CtlLanguageTest, ReadsTheVariablesOfTheProcess) {
    test::EnvGuard env;
    env.Set("LANGUAGE", "fr:zh_CN");
    env.Set("LC_ALL", std::nullopt);
    env.Set("LC_MESSAGES", "de_DE.UTF-8");
    env.Set("LANG", "C");
    const LocaleVariables v = LocaleVariables::OfProcess();
    EXPECT_EQ(v.language, "fr:zh_CN");
    EXPECT_EQ(v.lcAll, "");
    EXPECT_EQ(v.lcMessages, "de_DE.UTF-8");
    EXPECT_EQ(v.lang, "C");
}

// The places a text fills in: "%1" to "%9".
std::multiset<char> Places(std::string_view text) {
    std::multiset<char> places;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') places.insert(text[i + 1]);
    }
    return places;
}

struct Shipped {
    std::string key;
    std::string english;  // built in
};

std::vector<Shipped> EveryText() {
    std::vector<Shipped> texts;
    for (const CtlTextEntry* e = CtlTextsBegin(); e != CtlTextsEnd(); ++e) {
        texts.push_back({std::string(e->key), std::string(e->english)});
    }
    for (int f = static_cast<int>(UpgradeFailure::NoModeAnswer);
         f <= static_cast<int>(UpgradeFailure::NotBack); ++f) {
        const auto failure = static_cast<UpgradeFailure>(f);
        texts.push_back({FailureTextKey(failure), UpgradeFailureText(failure)});
    }
    return texts;
}

std::string LanguageFile(const char* name) {
    return std::string(KQ_LANGUAGE_SOURCE_DIR) + name + ".lang";
}

// Both files hold every text of the command line whole, with the places of its English; the
// English file says what the program says without it.
TEST(CtlTextsTest, BothFilesHoldEveryTextWithItsPlaces) {
    std::set<std::string> keys;
    for (const Shipped& text : EveryText()) {
        EXPECT_TRUE(keys.insert(text.key).second) << "two texts named " << text.key;
        EXPECT_TRUE(text.key.starts_with("Ctl.")) << text.key;
        const auto read = [&](const char* file) {
            return profile::GetString(LanguageFile(file), "String", text.key, "", 1 << 20);
        };
        const std::string english = read("English");
        const std::string chinese = read("SimpChinese");
        EXPECT_EQ(english, text.english) << text.key;
        ASSERT_FALSE(chinese.empty()) << "SimpChinese lacks " << text.key;
        EXPECT_NE(chinese, text.english) << text.key << " is not translated";
        EXPECT_EQ(Places(chinese), Places(text.english)) << text.key << ": " << chinese;
        EXPECT_LE(chinese.size(), 299u) << text.key << " would be cut";
    }
    for (const char* file : {"English", "SimpChinese"}) {
        for (const std::string& entry :
             profile::GetSection(LanguageFile(file), "String", 1 << 20)) {
            const std::string key = entry.substr(0, entry.find('='));
            EXPECT_TRUE(!key.starts_with("Ctl.") || keys.count(key)) << file << " has " << key;
        }
    }
}

// A folder of its own holding the language files a test writes.
class LanguageFolder {
  public:
    LanguageFolder()
        : dir_(std::filesystem::temp_directory_path() /
               ("kq-ctl-lang-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir_ / "Language");
    }
    ~LanguageFolder() {
        UseCtlLanguage({}, {});
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void Write(const char* name, const std::string& texts) {
        std::ofstream(dir_ / "Language" / (std::string(name) + ".lang")) << "[String]\n" << texts;
    }
    std::string dir() const { return os::Utf8Of(dir_) + "/"; }

  private:
    std::filesystem::path dir_;
};

TEST(CtlTextsTest, AMissingFileOrKeyIsSaidInEnglish) {
    LanguageFolder folder;
    UseCtlLanguage(folder.dir(), "SimpChinese");
    EXPECT_EQ(Say(CtlText::NoEngineWithSerial, {"x1"}), "no engine found with serial x1");
    folder.Write("SimpChinese", "Ctl.NoEngineWithSerial=未找到序列号为 %1 的光机\n");
    UseCtlLanguage(folder.dir(), "SimpChinese");
    EXPECT_EQ(Say(CtlText::NoEngineWithSerial, {"x1"}), "未找到序列号为 x1 的光机");
    EXPECT_EQ(Say(CtlText::NoAnswer), "the engine does not answer");
    EXPECT_EQ(SayFailure(UpgradeFailure::NotBack),
              "the engine did not come back after the upgrade");
    UseCtlLanguage(folder.dir(), "Klingon");
    EXPECT_EQ(Say(CtlText::Error, {"x"}), "error: x");
}

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result Ctl(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunCtl(args, out, err);
    return {code, out.str(), err.str()};
}

// The command line in each of its languages, from the files beside the built programs.
class BothLanguages : public ::testing::Test {
  protected:
    ~BothLanguages() override { UseCtlLanguage({}, {}); }
    Result In(const char* language, const std::vector<std::string>& args) {
        UseCtlLanguage(os::Utf8Of(ProgramDirectory()), language);
        return Ctl(args);
    }
};

TEST_F(BothLanguages, CommandsSpeakTheLanguageAndKeepTheirExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string english;  // the start of what the user is told, on stdout then stderr
        std::string chinese;
    };
    const Case cases[] = {
        {{"--virtual-engine=product-id=0A1B2C3D4E5F6077,current=100", "status"},
         0,
         "connected: yes\npath: virtual-1\nserial: 0002a0000000\nmode: application\n"
         "product-id: 0A-1B-2C-3D-4E-5F\nled-current: 100\n",
         "已连接：是\n路径：virtual-1\n序列号：0002a0000000\n模式：固件\n"
         "产品 ID：0A-1B-2C-3D-4E-5F\nLED 电流：100\n"},
        {{"--virtual-engine=mode=mute", "status"},
         1,
         "connected: yes\npath: virtual-1\nserial: 0002a0000000\nmode: no-answer\n"
         "error: the engine does not answer\n",
         "已连接：是\n路径：virtual-1\n序列号：0002a0000000\n模式：无应答\n错误：光机没有应答\n"},
        {{"--virtual-engine=mode=loader", "flip", "x"},
         1,
         "error: the engine is running its loader",
         "错误：光机处于引导程序中，固件未运行"},
        {{"--virtual-engine=serial=elsewhere", "--serial", "s9", "power", "on"},
         3,
         "error: no engine found with serial s9\n",
         "错误：未找到序列号为 s9 的光机\n"},
        {{"--virtual-engine", "--virtual-engine=serial=0002a0000001", "led", "on"},
         2,
         "error: 2 engines are attached; choose one with --serial S or --path P:\n"
         "  virtual-1  serial 0002a0000000\n",
         "错误：连接了 2 台光机；请用 --serial S 或 --path P 选择其中一台：\n"
         "  virtual-1  序列号 0002a0000000\n"},
        {{"stauts"},
         2,
         "error: unknown command stauts\nRun with --help for more information.\n",
         "错误：未知命令 stauts\n运行时加上 --help 可查看更多信息。\n"},
        {{"--virtual-engine", "current", "1e2"}, 2, "error: ", "错误："},
        {{"--virtual-engine=mode=loader", "list"},
         0,
         "virtual-1  serial 0002a0000000  ",
         "virtual-1  序列号 0002a0000000  "},
    };
    for (const Case& c : cases) {
        for (const auto& [language, said] :
             {std::pair{"English", c.english}, std::pair{"SimpChinese", c.chinese}}) {
            const Result r = In(language, c.args);
            EXPECT_EQ(r.code, c.code) << language << " " << c.args.back() << "\n" << r.err;
            EXPECT_EQ((r.out + r.err).substr(0, said.size()), said) << language;
        }
    }
    EXPECT_NE(In("SimpChinese", {"--virtual-engine", "current", "1e2"}).err.find("“1e2”不是数字"),
              std::string::npos);
}

TEST_F(BothLanguages, JsonIsTheSameInEveryLanguage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--virtual-engine", "status", "--json"},
          {"--virtual-engine=mode=mute", "status", "--json"},
          {"--virtual-engine=mode=loader", "list", "--json"},
          {"--virtual-engine", "current", "--json"}}) {
        const Result english = In("English", args);
        const Result chinese = In("SimpChinese", args);
        EXPECT_EQ(chinese.out, english.out) << args.back();
        EXPECT_EQ(chinese.code, english.code);
    }
}

// A whole upgrade: the phase and result lines in Chinese; the history keeps its words and
// reasons in English (they are what --json gives), its lines say them in the language.
TEST_F(BothLanguages, UpgradeAndHistorySpeakChinese) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kq-ctl-zh-upgrade-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string firmware = os::Utf8Of(dir / "fw.bin");
    const std::string loader = os::Utf8Of(dir / "loader.bin");
    std::ofstream(firmware) << std::string(600, 'f');
    std::ofstream(loader) << std::string(100, 'l');
    test::EnvGuard env;
    env.Set("XDG_DATA_HOME", os::Utf8Of(dir / "data"));
    env.Set("XDG_STATE_HOME", os::Utf8Of(dir / "state"));
#ifdef _WIN32
    env.Set("LOCALAPPDATA", os::Utf8Of(dir / "data"));
#endif

    Result r = In("SimpChinese", {"--virtual-engine=reboot-ms=0", "upgrade", "--yes", firmware,
                                  "--loader", loader});
    EXPECT_EQ(r.code, 0) << r.err;
    for (const char* line : {"正在写入引导程序\n", "进度 100%\n", "正在写入固件\n",
                             "正在等待光机重启\n", "正在检查光机：第 1 次，共 5 次\n",
                             "固件升级成功\n", "没有替换任何固件字节，因此无需备份\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " not in\n" << r.out;
    }
    r = In("SimpChinese",
           {"--virtual-engine=mode=mute", "upgrade", "--yes", firmware, "--loader", loader});
    EXPECT_EQ(r.code, kExitFailed);
    EXPECT_NE(r.err.find("错误：固件升级失败：光机没有应答\n未向光机写入任何内容\n"),
              std::string::npos)
        << r.err;

    r = In("SimpChinese", {"history"});
    EXPECT_EQ(r.code, 0);
    for (const char* part :
         {"  成功  fw.bin  600 字节  SHA-256 ", "  失败  fw.bin  600 字节",
          "\n  光机：序列号 0002a0000000，产品 ID ", "\n  原因：光机没有应答\n"}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " not in\n" << r.out;
    }
    const std::string json = In("SimpChinese", {"history", "--json"}).out;
    EXPECT_EQ(json, In("English", {"history", "--json"}).out);
    EXPECT_NE(json.find("\"reason\":\"the engine does not answer\""), std::string::npos) << json;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace kq
