#include "upgrade/history.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <fstream>
#include <regex>
#include <sstream>

#include "os/os.h"
#include "os/sha256.h"
#include "tests/support/child_process.h"
#include "tests/support/env_guard.h"
#include "tests/support/upgrade_fixture.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class HistoryTest : public ::testing::Test {
  protected:
    HistoryEntry Entry(const std::string& productId, const std::string& serial,
                       const std::string& place, const std::string& image) {
        const std::vector<uint8_t> bytes = MakeImage(100, 1);
        return MakeHistoryEntry({serial, productId, place}, image, bytes, {"success", ""}, nullptr,
                                1796649300);
    }

    TempFolder temp;
    const fs::path file = temp.path / "state" / "kq7300" / "history.jsonl";
    std::string error;
};

TEST_F(HistoryTest, EntriesReadBackAsTheyWereAppended) {
    const std::vector<uint8_t> image = MakeImage(20000, 5);
    std::string why;
    auto backup =
        FirmwareBackup::Open(temp.path / "data", {"0002a0000000", "", "1-1.2"}, 20000, why);
    ASSERT_TRUE(backup) << why;
    ASSERT_TRUE(backup->Save(9216, std::span(image).subspan(9216, 4096), why)) << why;
    const HistoryEntry stopped =
        MakeHistoryEntry({"0002a0000000", "", "1-1.2"}, temp.path / os::PathFromUtf8("固件 2.enc"),
                         image, {"stopped", "stopped by Ctrl-C"}, backup.get());
    EXPECT_EQ(stopped.image, "固件 2.enc");
    EXPECT_EQ(stopped.imageSize, 20000u);
    EXPECT_EQ(stopped.imageSha256, os::Sha256Hex(image));
    EXPECT_EQ(stopped.backup, os::Utf8Of(backup->path()));
    EXPECT_FALSE(stopped.backupResumed);
    EXPECT_TRUE(std::regex_match(stopped.time,
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << stopped.time;
    const HistoryEntry done = Entry("0A-1B-2C-3D-4E-5F", "0002a0000000", "1-1.2", "fw.bin");

    ASSERT_TRUE(AppendHistory(file, stopped, error)) << error;
    ASSERT_TRUE(AppendHistory(file, done, error)) << error;
    const HistoryLog log = ReadHistory(file);
    EXPECT_TRUE(log.error.empty()) << log.error;
    EXPECT_EQ(log.damaged, 0u);
    EXPECT_EQ(log.entries, (std::vector<HistoryEntry>{stopped, done}));
    // One object per line, with the names scripts read.
    const std::string text = FileText(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_TRUE(text.starts_with(R"({"time":")")) << text;
    for (const char* field :
         {R"("serial":"0002a0000000")", R"("productId":"")", R"("place":"1-1.2")",
          R"("imageSize":20000)", R"("outcome":"stopped")", R"("reason":"stopped by Ctrl-C")",
          R"("backupResumed":false})"}) {
        EXPECT_NE(text.find(field), std::string::npos) << field << " in " << text;
    }
}

TEST_F(HistoryTest, DamagedLinesAreLeftOutAndCounted) {
    const std::string good = HistoryLine(Entry("0A-1B-2C-3D-4E-5F", "s", "p", "a.bin"));
    std::string other = good;
    other.replace(other.find("a.bin"), 5, "b.bin");
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        << good << "\n"
        << "not json\n"
        << R"({"time":1})"
        << "\n"
        << "[1,2]\n"
        << "\n"
        << good.substr(0, good.size() / 2) << "\n"  // cut by a crash, then appended after
        << other << "\r\n"
        << good.substr(0, 40);  // the last line, cut
    HistoryLog log = ReadHistory(file);
    EXPECT_EQ(log.damaged, 5u);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].image, "b.bin");

    // A line appended after a cut one is a line of its own.
    ASSERT_TRUE(AppendHistory(file, Entry("", "s", "p", "c.bin"), error)) << error;
    log = ReadHistory(file);
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[2].image, "c.bin");
}

TEST_F(HistoryTest, TheLastUpgradeOfAnEngine) {
    const std::vector<HistoryEntry> entries = {
        Entry("0A-1B-2C-3D-4E-5F", "0002a0000000", "1-1.2", "first.bin"),
        Entry("0A-1B-2C-3D-4E-60", "0002a0000000", "1-1.3", "other.bin"),
        Entry("", "0002a0000000", "1-1.2", "loader-run.bin"),
        Entry("0A-1B-2C-3D-4E-60", "0002a0000000", "1-1.2", "moved.bin"),
    };
    struct Case {
        BackupOwner engine;
        const char* image;  // nullptr: none
    };
    for (const Case& c : {
             // By product id where both know it, so the engine that moved to 1-1.2 is found...
             Case{{"0002a0000000", "0A-1B-2C-3D-4E-60", "1-1.3"}, "moved.bin"},
             // ...else by serial and place: the run from the loader counts.
             Case{{"0002a0000000", "0A-1B-2C-3D-4E-5F", "1-1.2"}, "loader-run.bin"},
             Case{{"0002a0000000", "", "1-1.2"}, "moved.bin"},
             Case{{"0002a0000000", "", "1-1.3"}, "other.bin"},
             Case{{"0002a0000000", "0A-1B-2C-3D-4E-61", "1-1.4"}, nullptr},
             Case{{"", "", ""}, nullptr},
         }) {
        SCOPED_TRACE(c.engine.productId + " " + c.engine.place);
        const HistoryEntry* last = LastUpgradeOf(entries, c.engine);
        if (c.image == nullptr) {
            EXPECT_EQ(last, nullptr);
        } else {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(last->image, c.image);
        }
    }
}

TEST_F(HistoryTest, WhatCannotBeWrittenOrReadIsReported) {
    const HistoryEntry entry = Entry("", "s", "p", "a.bin");
    EXPECT_FALSE(AppendHistory(fs::path(), entry, error));
    EXPECT_NE(error.find("no folder for the upgrade history"), std::string::npos) << error;
    std::ofstream(temp.path / "file") << "x";
    EXPECT_FALSE(AppendHistory(temp.path / "file" / "history.jsonl", entry, error));
    EXPECT_NE(error.find(std::make_error_code(std::errc::not_a_directory).message()),
              std::string::npos)
        << error;

    HistoryLog log = ReadHistory(temp.path / "none.jsonl");
    EXPECT_TRUE(log.entries.empty() && log.error.empty() && log.damaged == 0);
    log = ReadHistory(temp.path);
    EXPECT_EQ(log.error, "cannot read " + os::Utf8Of(temp.path) + ": " +
                             std::make_error_code(std::errc::is_a_directory).message());
}

#ifndef _WIN32
TEST_F(HistoryTest, ProcessesAppendingAtOnceKeepEveryEntry) {
    constexpr int kProcesses = 3;
    constexpr int kEntries = 100;
    EXPECT_TRUE(kq::test::AllChildrenSucceed(kProcesses, [&](int p) {
        std::string why;
        for (int n = 0; n < kEntries; ++n) {
            const HistoryEntry e =
                Entry("", std::to_string(p), std::to_string(n), std::string(3000, 'x'));
            if (!AppendHistory(file, e, why)) return 1;
        }
        return 0;
    }));
    const HistoryLog log = ReadHistory(file);
    EXPECT_EQ(log.damaged, 0u);
    EXPECT_EQ(log.entries.size(), static_cast<size_t>(kProcesses * kEntries));
    for (int p = 0; p < kProcesses; ++p) {
        const auto count =
            std::count_if(log.entries.begin(), log.entries.end(),
                          [&](const auto& e) { return e.serial == std::to_string(p); });
        EXPECT_EQ(count, kEntries);
    }
}

TEST_F(HistoryTest, AnUnwritableFolderIsReportedWithItsReason) {
    fs::create_directories(file.parent_path());
    chmod(file.parent_path().c_str(), 0755);
    const int code = kq::test::ExitCodeAsOrdinaryUser([&] {
        std::string why;
        if (AppendHistory(file, Entry("", "s", "p", "a.bin"), why)) return 1;
        return why == "cannot write " + os::Utf8Of(file) + ": " +
                           std::make_error_code(std::errc::permission_denied).message()
                   ? 0
                   : 2;
    });
    if (code == kq::test::kNoOrdinaryUser) GTEST_SKIP() << "cannot become an ordinary user";
    EXPECT_EQ(code, 0);
}

TEST(HistoryTimeTest, LocalTimeWithItsOffset) {
    {
        kq::test::EnvGuard env;
        for (const auto& [zone, text] :
             {std::pair<const char*, const char*>{"UTC0", "1971-02-05T00:00:00+00:00"},
              {"EST5", "1971-02-04T19:00:00-05:00"},
              {"IST-5:30", "1971-02-05T05:30:00+05:30"}}) {
            env.Set("TZ", std::string(zone));
            tzset();
            EXPECT_EQ(LocalIsoTime(86400 * 400), text);
        }
    }
    tzset();
}

TEST(HistoryFileTest, IsInTheUsersStateFolder) {
    kq::test::EnvGuard env;
    env.Set("XDG_STATE_HOME", std::string("/state"));
    EXPECT_EQ(UpgradeHistoryFile(), fs::path("/state/kq7300/history.jsonl"));
}
#else
TEST(HistoryFileTest, IsInTheLocalApplicationData) {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(UpgradeHistoryFile(), fs::path(local) / "kq7300" / "history.jsonl");
}
#endif

}  // namespace
}  // namespace kq::test
