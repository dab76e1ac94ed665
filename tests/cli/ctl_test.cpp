#include "cli/ctl.h"

#include <gtest/gtest.h>
#include <kq_version.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/json.h"
#include "devlink/discovery.h"
#include "tests/cli/json_check.h"
#include "tests/support/env_guard.h"
#include "upgrade/image_files.h"

namespace kq {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result Ctl(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunCtl(args, out, err);
    return {code, out.str(), err.str()};
}

std::string EnginePath(const char* serial) {
    return MakeInterfacePath(kEngineVendorId, kEngineProductId, serial, EngineInterfaceClass);
}

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CtlTest, StatusOfAnApplicationEngine) {
    const auto r = Ctl({"--virtual-engine=product-id=0A1B2C3D4E5F6077,current=100", "status"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "connected: yes\npath: virtual-1\nserial: 0002a0000000\nmode: application\n"
              "product-id: 0A-1B-2C-3D-4E-5F\nled-current: 100\n");
    EXPECT_EQ(r.err, "");
}

TEST(CtlTest, StatusOfOtherEngines) {
    auto r = Ctl({"--virtual-engine=mode=loader", "status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "connected: yes\npath: virtual-1\nserial: 0002a0000000\nmode: loader\n");
    // No answer is not taken for the loader, and says so.
    r = Ctl({"--virtual-engine=mode=mute", "status"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("mode: no-answer\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "error: the engine does not answer\n");
    r = Ctl({"--virtual-engine=mode=mute", "current"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "error: the engine does not answer\n");
    r = Ctl({"--virtual-engine=mode=loader", "flip", "x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("running its loader, not its firmware"), std::string::npos) << r.err;
    r = Ctl({"--virtual-engine=current=101", "status"});
    EXPECT_EQ(r.code, 1) << "a current above 100 is a failure";
    r = Ctl({"--virtual-engine=serial=elsewhere", "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "connected: no\n");
    EXPECT_NE(r.err.find("no engine"), std::string::npos);
}

TEST(CtlTest, CommandsSendTheirFramesThroughTheGate) {
    const auto trace =
        std::filesystem::temp_directory_path() / ("kq-ctl-" + std::to_string(::getpid()) + ".txt");
    std::filesystem::remove(trace);
    EXPECT_EQ(Ctl({"--virtual-engine", "--trace", trace.string(), "flip", "xy"}).code, 0);
    EXPECT_EQ(Ctl({"--trace=" + trace.string(), "--virtual-engine", "current", "65"}).code, 0);
    EXPECT_EQ(Ctl({"--virtual-engine=mode=loader", "--trace", trace.string(), "led", "off"}).code,
              0);
    EXPECT_EQ(Ctl({"--virtual-engine=mode=loader", "--trace", trace.string(), "power", "off"}).code,
              1);
    const std::string text = Slurp(trace);
    EXPECT_NE(text.find("> 07 00 09 00 04 01 C4\n"), std::string::npos);
    EXPECT_NE(text.find("> 07 00 01 00 41 "), std::string::npos);
    EXPECT_NE(text.find("> 06 00 02 00 F4 03\n"), std::string::npos) << "LED needs only presence";
    EXPECT_EQ(text.find("> 06 00 03 "), std::string::npos) << "power needs the application";
    std::filesystem::remove(trace);
}

TEST(CtlTest, UsageErrorsSendNothing) {
    const auto trace = std::filesystem::temp_directory_path() /
                       ("kq-ctl-usage-" + std::to_string(::getpid()) + ".txt");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--virtual-engine", "--trace", trace.string(), "current", "101"},
          {"--virtual-engine", "--trace", trace.string(), "current", "x"},
          {"--virtual-engine", "--trace", trace.string(), "flip", "z"},
          {"--virtual-engine=current=", "--trace", trace.string(), "status"},
          {"--virtual-engine", "power"},
          {}}) {
        const auto r = Ctl(args);
        EXPECT_EQ(r.code, 2) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(trace) && std::filesystem::file_size(trace) > 0);
}

// As in the window's box: decimal digits, leading zeros allowed, nothing else.
TEST(CtlTest, TheCurrentIsDecimal) {
    const auto trace = std::filesystem::temp_directory_path() /
                       ("kq-ctl-current-" + std::to_string(::getpid()) + ".txt");
    std::filesystem::remove(trace);
    for (const char* value : {"050", "099", "0100", "0"}) {
        EXPECT_EQ(Ctl({"--virtual-engine", "--trace", trace.string(), "current", value}).code, 0)
            << value;
    }
    const std::string text = Slurp(trace);
    for (const char* frame :
         {"> 07 00 01 00 32 ", "> 07 00 01 00 63 ", "> 07 00 01 00 64 ", "> 07 00 01 00 00 "}) {
        EXPECT_NE(text.find(frame), std::string::npos) << frame;
    }
    EXPECT_EQ(text.find("> 07 00 01 00 28 "), std::string::npos) << "050 is not octal";
    std::filesystem::remove(trace);
    for (const char* value : {"0x10", "1e2", "abc", "+5", " 5", "5.0"}) {
        const auto r = Ctl({"--virtual-engine", "current", value});
        EXPECT_EQ(r.code, 2) << value;
        EXPECT_NE(r.err.find("not a number"), std::string::npos) << r.err;
    }
    for (const char* value : {"101", "0101", "99999999999999999999"}) {
        const auto r = Ctl({"--virtual-engine", "current", value});
        EXPECT_EQ(r.code, 2) << value;
        EXPECT_NE(r.err.find("outside 0 to 100"), std::string::npos) << r.err;
    }
}

// Every write fails, as on a full disk.
struct FullBuffer : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
};

TEST(CtlTest, OutputThatCannotBeWrittenIsAnError) {
    FullBuffer full;
    std::ostream out(&full);
    std::ostringstream err;
    EXPECT_EQ(RunCtl({"--virtual-engine", "status"}, out, err), 1);
    EXPECT_NE(err.str().find("error: cannot write the output"), std::string::npos) << err.str();
}

TEST(CtlTest, UsageErrorsSayWhatIsWrong) {
    const std::string firmware = (std::filesystem::temp_directory_path() /
                                  ("kq-ctl-missing-" + std::to_string(::getpid()) + ".bin"))
                                     .string();
    const std::vector<std::string> two = {"--virtual-engine",
                                          "--virtual-engine=serial=0002a0000001"};
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c :
         {Case{{"foo"}, "error: unknown command foo\n"},
          Case{{"--virtual-engine", "stauts"}, "error: unknown command stauts\n"},
          Case{{"--virtual-engine=mode=app", "stauts"}, "error: unknown command stauts\n"},
          Case{{"foo", "status"}, "not expected: foo\n"},
          Case{{"status", "--bogus"}, "not expected: --bogus\n"},
          Case{{}, "error: no command given\n"}, Case{{"current", "abc"}, "'abc' is not a number"},
          Case{{"--virtual-engine", "upgrade", firmware}, "cannot read " + firmware},
          Case{{two[0], two[1], "upgrade", firmware}, "cannot read " + firmware},
          Case{{two[0], two[1], "power", "on"}, "choose one with --serial"},
          // An empty value is no value left out: it would choose any engine, trace nothing or
          // take the default loader.
          Case{{two[0], two[1], "--serial", "", "power", "on"}, "--serial: the value is empty"},
          Case{{two[0], two[1], "--path=", "power", "on"}, "--path: the value is empty"},
          Case{{"--virtual-engine", "--serial=", "--json", "status"},
               "--serial: the value is empty"},
          Case{{"--virtual-engine", "upgrade", "--loader=", firmware}, "--loader: the value is"},
          Case{{two[0], "power", "on", "--path", ""}, "--path: the value is empty"},
          Case{{"--virtual-engine", "--trace", "", "status"}, "--trace: the value is empty"},
          Case{{"--virtual-engine", "upgrade", firmware, "--loader", ""},
               "--loader: the value is empty"},
          // The link is not opened: engine settings not understood, a trace file not written.
          Case{{"--virtual-engine=mode=odd", "status"}, "error: --virtual-engine: "},
          Case{{"--virtual-engine", "--trace", firmware + "/no/trace", "status"},
               "error: cannot open trace file " + firmware + "/no/trace\n"}}) {
        const auto r = Ctl(c.args);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// The files are judged before any engine is looked for: the trace shows no search. The message
// names every folder searched, in order.
TEST(CtlTest, MissingLoaderNamesTheFoldersAndTheOption) {
    const auto dir = ProgramDirectory();
    if (std::filesystem::exists(dir / "usbloader.bin") ||
        std::filesystem::exists(dir / "usbloader.enc")) {
        GTEST_SKIP() << "a loader image lies beside the tests in " << dir;
    }
    const auto firmware = std::filesystem::temp_directory_path() /
                          ("kq-ctl-fw-" + std::to_string(::getpid()) + ".bin");
    const auto trace = firmware.string() + ".trace";
    std::ofstream(firmware) << "firmware";
    test::EnvGuard env;
    const std::string data = firmware.string() + ".data";
#ifdef _WIN32
    env.Set("LOCALAPPDATA", data);
    const std::string folders = dir.string() + " or " + data + "\\kq7300";
#else
    env.Set("XDG_DATA_HOME", data);
    env.Set("XDG_DATA_DIRS", "/nonexistent/a:/nonexistent/b/");
    const std::string folders =
        dir.string() + ", " + data + "/kq7300, /nonexistent/a/kq7300 or /nonexistent/b/kq7300";
#endif
    const auto r = Ctl({"--virtual-engine", "--trace", trace, "upgrade", firmware.string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "error: no loader image: no usbloader.bin or usbloader.enc in " + folders +
                         "; put one there or name one with --loader FILE\n");
    EXPECT_EQ(Slurp(trace).find("engine at"), std::string::npos);
    std::filesystem::remove(firmware);
    std::filesystem::remove(trace);
}

TEST(CtlTest, HelpListsTheExitCodesAndVersionSaysTheVersion) {
    auto r = Ctl({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* line :
         {"Exit codes:\n", "\n  0  done\n", "\n  1  the engine did not", "\n  2  usage",
          "\n  3  no engine found\n", "\n  4  an engine",
          "\n  5  the engine is in use by another program\n",
          "\n  6  upgrade: the question was answered no",
          "\n  7  upgrade: the engine stayed in its loader",
          "\n  8  upgrade: the engine gave an unexpected answer",
          "\n  9  upgrade: the engine did not come back", "\n  10  upgrade: another engine",
          "\n  11  upgrade: no backup", "\n  12  upgrade: a backup could not be saved",
          "\n  130  a second Ctrl-C", "\n  143  SIGTERM"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
    for (const char* option : {"--version", "-V"}) {
        r = Ctl({option});
        EXPECT_EQ(r.code, 0) << option;
        EXPECT_EQ(r.out, std::string("kq7300ctl ") + KQ_VERSION + "\n") << option;
    }
}

// Help that does not go to a terminal is 80 columns wide, its lines broken between words.
TEST(CtlTest, HelpFitsEightyColumns) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> words;  // in this order, each whole
    };
    const Case cases[] = {
        {{"--help"}, {"--path", "P", "Talk", "(such", "as", "1-1.2)", "monitor", "Print"}},
        {{"upgrade", "--help"}, {"--loader", "FILE", "Loader", "image", "(see", "the"}},
        {{"list", "--help"}, {"List", "every", "engine", "present:"}},
    };
    for (const Case& c : cases) {
        const auto r = Ctl(c.args);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(r.code, 0);
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
        std::istringstream text(r.out);
        auto word = c.words.begin();
        for (std::string w; word != c.words.end() && text >> w;) {
            if (w == *word) ++word;
        }
        EXPECT_EQ(word, c.words.end()) << "missing " << *word << " in\n" << r.out;
    }
}

TEST(CtlTest, ChoosingOneOfTwoEngines) {
    const std::vector<std::string> two = {"--virtual-engine=current=11",
                                          "--virtual-engine=serial=0002a0000001,current=22"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), two.begin(), two.end());
        return Ctl(args);
    };
    auto r = with({"status"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "error: 2 engines are attached; choose one with --serial S or --path P:\n"
              "  virtual-1  serial 0002a0000000\n  virtual-2  serial 0002a0000001\n");

    EXPECT_EQ(with({"--serial", "0002a0000001", "current"}).out, "22\n");
    EXPECT_EQ(with({"--serial=0002a0000000", "current"}).out, "11\n");
    EXPECT_EQ(with({"current", "--path", EnginePath("0002a0000001")}).out, "22\n");
    EXPECT_EQ(with({"--path", EnginePath("0002a0000000"), "current"}).out, "11\n");
    // The place list shows is a path too.
    EXPECT_EQ(with({"--path", "virtual-2", "current"}).out, "22\n");
    EXPECT_EQ(with({"--path=virtual-1", "current"}).out, "11\n");
    r = with({"--serial", "0002a0000001", "status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("path: virtual-2\nserial: 0002a0000001\n"), std::string::npos) << r.out;

    r = with({"--serial", "nothing", "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "error: no engine found with serial nothing\n");
    EXPECT_EQ(with({"--path", "nowhere", "led", "on"}).code, 3);
    EXPECT_EQ(with({"--path", "virtual-3", "led", "on"}).err,
              "error: no engine found at virtual-3\n");

    r = with({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "virtual-1  serial 0002a0000000  virtual bus port 1  can be opened\n"
              "virtual-2  serial 0002a0000001  virtual bus port 2  can be opened\n");
    r = with({"--serial", "0002a0000001", "list"});
    EXPECT_EQ(r.out, "virtual-2  serial 0002a0000001  virtual bus port 2  can be opened\n");
}

// Two engines with one serial: the serial chooses neither, the path does; engines the search
// passes by do not count, and list says so.
TEST(CtlTest, ASerialSharedByTwoEnginesChoosesNeither) {
    const std::vector<std::string> twins = {"--virtual-engine=current=11",
                                            "--virtual-engine=current=22"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), twins.begin(), twins.end());
        return Ctl(args);
    };
    auto r = with({"--serial", "0002a0000000", "current"});
    EXPECT_EQ(r.code, 2);
    const std::string second = MakeInterfacePath(0xC251, 0x1706, "&port_2", EngineInterfaceClass);
    const std::string places =
        "  virtual-1  serial 0002a0000000\n  virtual-2  serial 0002a0000000\n";
    EXPECT_EQ(r.err,
              "error: 2 engines have serial 0002a0000000; choose one with --path P:\n" + places);
    // Without --serial the refusal offers only what tells them apart.
    r = with({"current"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "error: 2 engines are attached and their serials do not tell them apart; choose one "
              "with --path P:\n" +
                  places);
    EXPECT_EQ(with({"--path", "virtual-2", "current"}).out, "22\n");
    EXPECT_EQ(with({"--path", second, "current"}).out, "22\n");
    EXPECT_EQ(with({"--path", EnginePath("0002a0000000"), "current"}).out, "11\n");

    r = Ctl({"--virtual-engine=serial=A", "--virtual-engine=serial=B", "status"});
    EXPECT_EQ(r.code, 3) << "neither is an engine the search takes: " << r.err;
    r = Ctl({"--virtual-engine=serial=A", "list"});
    EXPECT_NE(r.out.find("can be opened  not used: the search takes an engine with serial "
                         "0002a0000000\n"),
              std::string::npos)
        << r.out;
}

// Field names and order are documented; a change here is a change for every script.
TEST(CtlTest, JsonOutputOfStatusCurrentAndList) {
    const std::string path = "\"virtual-1\"";
    auto r = Ctl({"--virtual-engine=current=42", "status", "--json"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "{\"connected\":true,\"path\":" + path +
                         ",\"serial\":\"0002a0000000\",\"mode\":\"application\","
                         "\"product_id\":\"0A-1B-2C-3D-4E-5F\",\"led_current\":42}\n");
    r = Ctl({"--json", "--virtual-engine=mode=loader", "status"});
    EXPECT_EQ(r.out, "{\"connected\":true,\"path\":" + path +
                         ",\"serial\":\"0002a0000000\",\"mode\":\"loader\"}\n");
    r = Ctl({"--json", "--virtual-engine=serial=x", "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "{\"connected\":false}\n");
    EXPECT_EQ(r.err, "error: no engine found\n");

    r = Ctl({"--json", "--virtual-engine=current=42", "current"});
    EXPECT_EQ(r.out, "{\"led_current\":42}\n");

    r = Ctl({"--json", "--virtual-engine", "--virtual-engine=serial=0002a0000001", "list"});
    EXPECT_EQ(r.code, 0);
    const std::string first = "{\"path\":" + path +
                              ",\"serial\":\"0002a0000000\",\"location\":\"virtual bus port 1\","
                              "\"can_open\":true,\"open_error\":null,\"detail\":null,"
                              "\"place\":\"virtual-1\",\"interface_path\":" +
                              JsonString(EnginePath("0002a0000000")) + "}";
    EXPECT_EQ(r.out.find("{\"engines\":[" + first + ",{\"path\":"), 0u) << r.out;
    r = Ctl({"--json", "--virtual-engine=vid=1234", "list"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "{\"engines\":[]}\n");

    for (const auto& args :
         {std::vector<std::string>{"--virtual-engine", "status", "--json"},
          {"--virtual-engine=mode=mute", "status", "--json"},
          {"--virtual-engine", "--virtual-engine=serial=0002a0000001", "list", "--json"}}) {
        r = Ctl(args);
        EXPECT_TRUE(r.out.ends_with("}\n") && test::JsonCheck::Valid(r.out)) << r.out;
    }
}

TEST(JsonTest, StringsAreEscapedAndAlwaysValidUtf8) {
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01\x1f/"), R"("a\"b\\c\n\t\u0001\u001f/")");
    EXPECT_EQ(JsonString("\xe5\x85\x89 \xc3\xa9 \xf0\x9f\x94\xa6"),
              "\"\xe5\x85\x89 \xc3\xa9 \xf0\x9f\x94\xa6\"")
        << "valid UTF-8 is kept";
    // A stray continuation byte, a truncated sequence, an overlong form, a surrogate, a lead
    // byte beyond U+10FFFF: each byte that does not belong becomes U+FFFD.
    EXPECT_EQ(
        JsonString("\x80|\xe5\x85|\xc0\xaf|\xed\xa0\x80|\xf5\x80\x80\x80|\xff"),
        R"("\ufffd|\ufffd\ufffd|\ufffd\ufffd|\ufffd\ufffd\ufffd|\ufffd\ufffd\ufffd\ufffd|\ufffd")");
    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    EXPECT_TRUE(test::JsonCheck::Valid(JsonString(every)));
    EXPECT_TRUE(
        test::JsonCheck::Valid(JsonObject().StringOrNull("serial", "").Bool("b", false).str()));
    EXPECT_FALSE(test::JsonCheck::Valid("{\"a\":\"\xff\"}")) << "the checker itself";
}

TEST(CtlTest, ReadsTheCurrent) {
    auto r = Ctl({"--virtual-engine=current=42", "current"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "42\n");
    r = Ctl({"--virtual-engine=mode=mute", "current"});
    EXPECT_EQ(r.code, 1);
    // The parser's marks are never a value: "--" ends the options and "++" the command, so
    // both read the current rather than set one.
    for (const char* mark : {"--", "++"}) {
        r = Ctl({"--virtual-engine=current=42", "current", mark});
        EXPECT_EQ(r.code, 0) << mark;
        EXPECT_EQ(r.out, "42\n") << mark;
    }
}

}  // namespace
}  // namespace kq
