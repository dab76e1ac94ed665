#include "cli/ctl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
              "connected: yes\nmode: application\nproduct-id: 0A-1B-2C-3D-4E-5F\n"
              "led-current: 100\n");
}

TEST(CtlTest, StatusOfOtherEngines) {
    auto r = Ctl({"--virtual-engine=mode=loader", "status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "connected: yes\nmode: other\n");
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

TEST(CtlTest, ReadsTheCurrent) {
    auto r = Ctl({"--virtual-engine=current=42", "current"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "42\n");
    r = Ctl({"--virtual-engine=mode=mute", "current"});
    EXPECT_EQ(r.code, 1);
}

}  // namespace
}  // namespace kq
