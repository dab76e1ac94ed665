#include "os/os.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include <string>

#include "os/sha256.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

namespace kq::os {
namespace {

namespace fs = std::filesystem;
using kq::test::EnvGuard;

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Sha256Test, KnownDigests) {
    EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex(Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(Sha256Hex(Bytes(million)),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

#ifdef _WIN32
TEST(UserDirsTest, BothAreTheLocalApplicationData) {
    EnvGuard env;
    env.Set("LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local");
    EXPECT_EQ(UserDataDir(), fs::path(L"C:\\Users\\u\\AppData\\Local"));
    EXPECT_EQ(UserStateDir(), UserDataDir());
    env.Set("LOCALAPPDATA", std::nullopt);
    EXPECT_TRUE(UserDataDir().empty());
}
#else
// The XDG rules: an absolute variable wins, a relative one is ignored, then HOME, then the
// account's home (a service, a cron job).
TEST(UserDirsTest, FollowTheXdgRulesWithTheAccountsHomeLast) {
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    const std::string accountHome = account->pw_dir;
    struct Case {
        std::optional<std::string> xdg;
        std::optional<std::string> home;
        std::string data, state, config;
    };
    const Case cases[] = {
        {"/x", "/home/u", "/x", "/x", "/x/kq7300/"},
        {"relative", "/home/u", "/home/u/.local/share", "/home/u/.local/state",
         "/home/u/.config/kq7300/"},
        {"", "/home/u", "/home/u/.local/share", "/home/u/.local/state", "/home/u/.config/kq7300/"},
        {std::nullopt, std::nullopt, accountHome + "/.local/share", accountHome + "/.local/state",
         accountHome + "/.config/kq7300/"},
        {std::nullopt, "", accountHome + "/.local/share", accountHome + "/.local/state",
         accountHome + "/.config/kq7300/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdg.value_or("(unset)") + ", HOME " + c.home.value_or("(unset)"));
        EnvGuard env;
        for (const char* name : {"XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"}) {
            env.Set(name, c.xdg);
        }
        env.Set("HOME", c.home);
        EXPECT_EQ(UserDataDir(), fs::path(c.data));
        EXPECT_EQ(UserStateDir(), fs::path(c.state));
        EXPECT_EQ(UserConfigDir(), c.config);
    }
}

TEST(UserDirsTest, SystemDataDirsFollowXdgDataDirs) {
    using Dirs = std::vector<fs::path>;
    const Dirs standard{"/usr/local/share/", "/usr/share/"};
    const std::pair<std::optional<std::string>, Dirs> cases[] = {
        {std::nullopt, standard},
        {"", standard},
        {"/opt/share:/usr/share", {"/opt/share", "/usr/share"}},
        // Relative entries are ignored, as are empty ones.
        {"relative::/a/:", {"/a/"}},
        {"relative", {}},
    };
    for (const auto& [variable, dirs] : cases) {
        SCOPED_TRACE(variable.value_or("(unset)"));
        EnvGuard env;
        env.Set("XDG_DATA_DIRS", variable);
        EXPECT_EQ(SystemDataDirs(), dirs);
    }
}

// Where a link leads, followed link by link: relative ones from their own folder, to the end
// also when nothing is there.
TEST(LinkTargetTest, FollowsTheChainToItsEnd) {
    const kq::test::TempDir dir;
    const std::string d = dir.path();
    kq::test::WriteBytes(d + "file", "x");
    fs::create_directory(d + "sub");
    fs::create_symlink(d + "file", d + "absolute");
    fs::create_symlink("../file", d + "sub/relative");
    fs::create_symlink("sub/relative", d + "chain");
    fs::create_symlink(d + "nowhere/Config.ini", d + "dangling");
    fs::create_symlink(d + "loop", d + "loop");
    EXPECT_EQ(LinkTarget(d + "file"), d + "file");
    EXPECT_EQ(LinkTarget(d + "missing"), d + "missing");
    EXPECT_EQ(LinkTarget(d + "absolute"), d + "file");
    EXPECT_EQ(LinkTarget(d + "sub/relative"), d + "sub/../file");
    EXPECT_EQ(LinkTarget(d + "chain"), d + "sub/../file");
    EXPECT_EQ(LinkTarget(d + "dangling"), d + "nowhere/Config.ini");
    errno = 0;
    EXPECT_EQ(LinkTarget(d + "loop"), "");
    EXPECT_EQ(errno, ELOOP);
}

// A write through a link that leads nowhere yet creates the file at its end; the link stays a
// link, and one that never ends is refused.
TEST(LinkTargetTest, WritesGoThroughLinksThatLeadNowhere) {
    const kq::test::TempDir dir;
    const std::string d = dir.path();
    fs::create_symlink("real.ini", d + "Config.ini");
    EXPECT_TRUE(ReplaceContent(d + "Config.ini", "[s]\nk=1\n"));
    EXPECT_TRUE(fs::is_symlink(d + "Config.ini"));
    EXPECT_EQ(kq::test::ReadBytes(d + "real.ini"), "[s]\nk=1\n");

    fs::create_symlink(d + "loop.ini", d + "loop.ini");
    EXPECT_FALSE(ReplaceContent(d + "loop.ini", "x"));
    EXPECT_TRUE(fs::is_symlink(d + "loop.ini"));
}

TEST(LocalTimeTest, GivesTheZonesOffset) {
    {
        EnvGuard env;
        for (const auto& [zone, offset] :
             {std::pair<const char*, long>{"UTC0", 0}, {"EST5", -5 * 3600}, {"IST-5:30", 19800}}) {
            SCOPED_TRACE(zone);
            env.Set("TZ", std::string(zone));
            tzset();
            long seconds = 1;
            const std::tm local = LocalTime(86400 * 400, &seconds);
            EXPECT_EQ(seconds, offset);
            EXPECT_EQ(local.tm_year, 71);
        }
    }
    tzset();
}
#endif

TEST(ExecutablePathTest, IsTheRunningProgramAndItsFolderExists) {
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::is_regular_file(PathFromUtf8(exe))) << exe;
    EXPECT_EQ(Utf8Of(PathFromUtf8("固件 é.bin")), "固件 é.bin");
}

}  // namespace
}  // namespace kq::os
