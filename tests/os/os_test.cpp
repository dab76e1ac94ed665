#include "os/os.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include <string>

#include "os/sha256.h"
#include "tests/os/env_guard.h"

namespace kq::os {
namespace {

namespace fs = std::filesystem;
using kq::testing::EnvGuard;

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
