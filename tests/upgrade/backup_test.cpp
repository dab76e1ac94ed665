#include "upgrade/backup.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <fstream>
#include <set>
#include <thread>

#include "os/os.h"
#include "tests/support/child_process.h"
#include "tests/support/upgrade_fixture.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kStart = kProtectedFirmwareBytes;
constexpr std::time_t kSecond = 1796649300;  // one moment for all backups of a test

std::vector<uint8_t> FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

size_t CountEntries(const fs::path& dir) {
    std::error_code ec;
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir, ec), {}));
}

FirmwareBackup::System FixedSecond(uint64_t free = uint64_t{1} << 40) {
    return {.freeSpace =
                [free](const fs::path&, uint64_t& bytes, std::error_code&) {
                    bytes = free;
                    return true;
                },
            .now = [] { return kSecond; }};
}

class BackupTest : public ::testing::Test {
  protected:
    std::unique_ptr<FirmwareBackup> Open(const BackupOwner& owner,
                                         const FirmwareBackup::System& system = FixedSecond()) {
        error.clear();
        return FirmwareBackup::Open(dir, owner, static_cast<uint32_t>(old.size()), error, system);
    }

    // Saves what `flash` holds block by block from the protected area's end, as the upgrade
    // reads it back, from `from` up to `to`.
    void SaveBlocks(FirmwareBackup& backup, const std::vector<uint8_t>& flash, uint32_t block,
                    uint32_t from, uint32_t to) {
        for (uint32_t at = from; at < to; at += block) {
            const uint32_t end = std::min<uint32_t>(at + block, to);
            ASSERT_TRUE(backup.Save(at, std::span(flash).subspan(at, end - at), error)) << error;
        }
    }

    // The file is an image: zeros below the protected area, then the old bytes up to `end`.
    void ExpectImageUpTo(const fs::path& path, uint32_t end) {
        const std::vector<uint8_t> bytes = FileBytes(path);
        ASSERT_EQ(bytes.size(), end);
        EXPECT_TRUE(
            std::all_of(bytes.begin(), bytes.begin() + kStart, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(std::equal(bytes.begin() + kStart, bytes.end(), old.begin() + kStart));
    }

    TempFolder temp;
    const fs::path dir = temp.path / "data" / "kq7300";
    const BackupOwner engine{"0002a0000000", "0A-1B-2C-3D-4E-5F", "virtual-1"};
    const std::vector<uint8_t> old = MakeImage(40000, 31);
    std::string error;
};

TEST_F(BackupTest, EveryBlockIsInTheFileWhenSaveReturns) {
    auto backup = Open(engine);
    ASSERT_TRUE(backup) << error;
    EXPECT_TRUE(backup->path().empty());
    EXPECT_EQ(CountEntries(dir), 0u);  // the checks made no file
    for (uint32_t at = kStart; at < old.size(); at += 4096) {
        const uint32_t end = std::min<uint32_t>(at + 4096, static_cast<uint32_t>(old.size()));
        ASSERT_TRUE(backup->Save(at, std::span(old).subspan(at, end - at), error)) << error;
        ExpectImageUpTo(backup->path(), end);
    }
    EXPECT_EQ(backup->path().parent_path(), dir);
    EXPECT_EQ(backup->path().filename(), BackupFileName(engine, kSecond));
    EXPECT_FALSE(backup->resumed());
    EXPECT_EQ(backup->saved(), (std::vector<ByteRange>{{kStart, 40000}}));
    // Saving what is saved again changes nothing.
    const std::vector<uint8_t> other(4096, 0xEE);
    ASSERT_TRUE(backup->Save(kStart, other, error));
    ExpectImageUpTo(backup->path(), 40000);
}

TEST_F(BackupTest, NamesTellTheEngineAsFarAsItIsKnown) {
    const std::tm local = os::LocalTime(kSecond);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    struct Case {
        BackupOwner owner;
        std::string name;
    };
    for (const Case& c : {
             Case{{"0002a0000000", "0A-1B-2C-3D-4E-5F", "1-1.2"}, "0002a0000000-0A1B2C3D4E5F-"},
             Case{{"0002a0000000", "", "1-1.2"}, "0002a0000000-"},
             Case{{"", "0A-1B-2C-3D-4E-5F", ""}, "0A1B2C3D4E5F-"},
             Case{{"../ab c", "", ""}, "abc-"},
             Case{{"", "", "1-1.2"}, "unknown-"},
         }) {
        EXPECT_EQ(BackupFileName(c.owner, kSecond), "kq7300-backup-" + c.name + stamp + ".bin");
    }
}

// A run after a stopped one reads back an engine that holds part of the new image already: the
// backup keeps what the first run saved there, the old firmware, and takes the rest.
TEST_F(BackupTest, AResumedSeriesKeepsTheEarlierBytesAndAddsTheRest) {
    fs::path first;
    {
        auto backup = Open(engine);
        ASSERT_TRUE(backup) << error;
        SaveBlocks(*backup, old, 4096, kStart, 21504);
        first = backup->path();
    }  // stopped
    std::vector<uint8_t> now = old;
    std::fill(now.begin() + kStart, now.begin() + 21504, 0x77);  // written by the first run

    // In the loader the product id is unknown; the block size may differ.
    auto backup = Open({engine.serial, "", engine.place});
    ASSERT_TRUE(backup) << error;
    EXPECT_TRUE(backup->resumed());
    EXPECT_EQ(backup->path(), first);
    SaveBlocks(*backup, now, 1000, kStart, 40000);
    ExpectImageUpTo(first, 40000);
    EXPECT_EQ(backup->saved(), (std::vector<ByteRange>{{kStart, 40000}}));
    EXPECT_EQ(CountEntries(dir), 2u);  // the image and its record

    // After the series' success the next upgrade starts a new backup; the old one stays.
    ASSERT_TRUE(backup->EndSeries(error)) << error;
    backup.reset();
    backup = Open(engine);
    ASSERT_TRUE(backup) << error;
    EXPECT_FALSE(backup->resumed());
    SaveBlocks(*backup, now, 4096, kStart, 13312);
    EXPECT_NE(backup->path(), first);
    std::string second = BackupFileName(engine, kSecond);
    second.insert(second.size() - 4, "-2");
    EXPECT_EQ(backup->path().filename(), second);
    ExpectImageUpTo(first, 40000);
}

TEST_F(BackupTest, OnlyTheSameEngineResumesASeries) {
    {
        auto backup = Open(engine);
        ASSERT_TRUE(backup) << error;
        SaveBlocks(*backup, old, 4096, kStart, 13312);
    }
    struct Case {
        BackupOwner owner;
        bool resumes;
    };
    for (const Case& c : {
             Case{{engine.serial, engine.productId, engine.place}, true},
             Case{{engine.serial, "", engine.place}, true},
             Case{{engine.serial, "0A-1B-2C-3D-4E-60", engine.place}, false},
             Case{{"0002a0000001", engine.productId, engine.place}, false},
             Case{{engine.serial, engine.productId, "virtual-2"}, false},
             Case{{"", engine.productId, ""}, false},
         }) {
        SCOPED_TRACE(c.owner.serial + " " + c.owner.productId + " " + c.owner.place);
        auto backup = Open(c.owner);
        ASSERT_TRUE(backup) << error;
        EXPECT_EQ(backup->resumed(), c.resumes);
    }
}

// Refused before any file is made, with the reason of the call that failed.
TEST_F(BackupTest, APlaceThatCannotTakeTheImageIsRefusedWithTheReason) {
    std::ofstream(temp.path / "file") << "x";
    const auto failingSpace =
        FirmwareBackup::System{.freeSpace =
                                   [](const fs::path&, uint64_t&, std::error_code& ec) {
                                       ec = std::make_error_code(std::errc::io_error);
                                       return false;
                                   },
                               .now = {}};
    struct Case {
        fs::path dir;
        FirmwareBackup::System system;
        std::string error;
    };
    for (const Case& c : {
             Case{fs::path(), FixedSecond(), "no folder for the backup"},
             Case{temp.path / "file", FixedSecond(), "file: it is not a folder"},
             Case{temp.path / "file" / "below", FixedSecond(),
                  std::make_error_code(std::errc::not_a_directory).message()},
             Case{dir, FixedSecond(40000),
                  "not enough room for the backup in " + os::Utf8Of(dir) +
                      ": 40000 bytes free, 105536 needed"},
             Case{dir, failingSpace,
                  "cannot tell the free space for the backup in " + os::Utf8Of(dir) + ": " +
                      std::make_error_code(std::errc::io_error).message()},
         }) {
        SCOPED_TRACE(c.error);
        error.clear();
        EXPECT_FALSE(FirmwareBackup::Open(c.dir, engine, 40000, error, c.system));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.find("Success"), std::string::npos) << error;
    }
    EXPECT_EQ(CountEntries(dir), 0u);
    // Enough room for what a resumed series still needs.
    {
        auto backup = Open(engine);
        ASSERT_TRUE(backup);
        SaveBlocks(*backup, old, 4096, kStart, 40000);
    }
    EXPECT_TRUE(Open(engine, FixedSecond(70000))) << error;
}

// A file under the name the backup would take stays as it is, whatever it holds; a record that is
// not one of ours is left alone too.
TEST_F(BackupTest, AFileThatIsNotOursIsNeverReplaced) {
    fs::create_directories(dir);
    const fs::path taken = dir / BackupFileName(engine, kSecond);
    std::ofstream(taken) << "someone's file";
    std::ofstream(dir / ("." + taken.filename().string() + ".series"), std::ios::binary)
        << "not json\n";
    auto backup = Open(engine);
    ASSERT_TRUE(backup) << error;
    EXPECT_FALSE(backup->resumed());
    SaveBlocks(*backup, old, 4096, kStart, 13312);
    EXPECT_NE(backup->path(), taken);
    ExpectImageUpTo(backup->path(), 13312);
    const std::vector<uint8_t> kept = FileBytes(taken);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "someone's file");
    EXPECT_EQ(FileBytes(dir / ("." + taken.filename().string() + ".series")).size(), 9u);
}

// Many backups of one second and of engines that share their serial (the instance is fixed): each
// gets a file of its own that holds exactly its bytes.
void ExpectOneFilePerEngine(const fs::path& dir, int engines) {
    std::set<int> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".")) continue;
        const std::vector<uint8_t> bytes = FileBytes(entry.path());
        ASSERT_EQ(bytes.size(), kStart + 8192u) << name;
        const int id = bytes[kStart] | bytes[kStart + 1] << 8;
        EXPECT_EQ(bytes, [&] {
            std::vector<uint8_t> expected = MakeImage(kStart + 8192, static_cast<uint32_t>(id));
            std::fill(expected.begin(), expected.begin() + kStart, 0);
            expected[kStart] = static_cast<uint8_t>(id);
            expected[kStart + 1] = static_cast<uint8_t>(id >> 8);
            return expected;
        }()) << name;
        EXPECT_TRUE(found.insert(id).second) << name;
    }
    EXPECT_EQ(found.size(), static_cast<size_t>(engines));
}

// One engine's backup: two blocks, the first two bytes its number.
bool SaveAsEngine(const fs::path& dir, int id) {
    std::vector<uint8_t> image = MakeImage(kStart + 8192, static_cast<uint32_t>(id));
    image[kStart] = static_cast<uint8_t>(id);
    image[kStart + 1] = static_cast<uint8_t>(id >> 8);
    std::string error;
    auto backup = FirmwareBackup::Open(dir, {"0002a0000000", "", "virtual-" + std::to_string(id)},
                                       static_cast<uint32_t>(image.size()), error, FixedSecond());
    return backup && backup->Save(kStart, std::span(image).subspan(kStart, 4096), error) &&
           backup->Save(kStart + 4096, std::span(image).subspan(kStart + 4096, 4096), error);
}

TEST_F(BackupTest, ThreadsSavingInTheSameSecondNeverShareAFile) {
    constexpr int kThreads = 100;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back([&, id] { failed += SaveAsEngine(dir, id) ? 0 : 1; });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    ExpectOneFilePerEngine(dir, kThreads);
}

// The old whole-file save: backups of one second in several threads never share a temporary
// name or a file.
TEST_F(BackupTest, WholeFileSavesOfOneSecondKeepEachBackup) {
    constexpr int kThreads = 50;
    std::vector<std::thread> threads;
    std::vector<fs::path> written(kThreads);
    std::atomic<int> failed{0};
    for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back([&, id] {
            std::vector<uint8_t> bytes(kStart + 100, static_cast<uint8_t>(id));
            std::string why;
            if (!SaveBackup(dir, "0A-1B-2C-3D-4E-5F", bytes, written[id], why)) ++failed;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    for (int id = 0; id < kThreads; ++id) {
        EXPECT_EQ(FileBytes(written[id]),
                  std::vector<uint8_t>(kStart + 100, static_cast<uint8_t>(id)));
    }
    EXPECT_EQ(CountEntries(dir), static_cast<size_t>(kThreads));  // no temporary file left
}

#ifndef _WIN32
TEST_F(BackupTest, ThreeHundredProcessesAndThreadsSavingAtOnceLoseNothing) {
    constexpr int kProcesses = 30;
    constexpr int kThreadsEach = 10;
    fs::create_directories(dir);
    EXPECT_TRUE(kq::test::AllChildrenSucceed(kProcesses, [&](int p) {
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreadsEach; ++t) {
            threads.emplace_back(
                [&, t] { failed += SaveAsEngine(dir, p * kThreadsEach + t) ? 0 : 1; });
        }
        for (auto& thread : threads) thread.join();
        return failed == 0 ? 0 : 1;
    }));
    ExpectOneFilePerEngine(dir, kProcesses * kThreadsEach);
}

// A run killed at any moment: every block it was told was saved is in the file, the record
// claims no byte the file does not hold, and the next run completes the backup.
TEST_F(BackupTest, ARunKilledAtAnyMomentLeavesEveryReplacedByte) {
    constexpr uint32_t kBlock = 1024;
    const uint32_t blocks = (static_cast<uint32_t>(old.size()) - kStart + kBlock - 1) / kBlock;
    std::mt19937 random(7);
    // Between Saves (killed by itself after n of them), then at random moments inside them.
    for (uint32_t round = 0; round < blocks + 20; ++round) {
        SCOPED_TRACE(round);
        fs::remove_all(dir);
        const bool between = round <= blocks;
        int acks[2];
        ASSERT_EQ(pipe(acks), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(acks[0]);
            std::string why;
            auto backup = FirmwareBackup::Open(dir, engine, static_cast<uint32_t>(old.size()), why,
                                               FixedSecond());
            for (uint32_t n = 0; backup; ++n) {
                if (between && n == round) raise(SIGKILL);
                if (n == blocks) break;
                const uint32_t at = kStart + n * kBlock;
                const uint32_t end =
                    std::min<uint32_t>(at + kBlock, static_cast<uint32_t>(old.size()));
                if (!backup->Save(at, std::span(old).subspan(at, end - at), why)) _exit(1);
                const char ack = 1;
                if (write(acks[1], &ack, 1) != 1) _exit(1);
            }
            _exit(2);
        }
        close(acks[1]);
        if (!between) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            kill(child, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        uint32_t acked = 0;
        char ack = 0;
        while (read(acks[0], &ack, 1) == 1) ++acked;
        close(acks[0]);
        if (between) {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(acked, std::min(round, blocks));
        }

        auto backup = Open(engine);
        ASSERT_TRUE(backup) << error;
        const uint32_t savedEnd = std::min<uint32_t>(kStart + acked * kBlock, 40000);
        if (acked > 0) {
            ASSERT_TRUE(backup->resumed());
            ASSERT_EQ(backup->saved().size(), 1u);
            EXPECT_EQ(backup->saved()[0].begin, kStart);
            EXPECT_GE(backup->saved()[0].end, savedEnd);
            const std::vector<uint8_t> bytes = FileBytes(backup->path());
            ASSERT_GE(bytes.size(), backup->saved()[0].end);
            EXPECT_TRUE(std::equal(bytes.begin() + kStart, bytes.begin() + backup->saved()[0].end,
                                   old.begin() + kStart));
        }
        // The rest of the series, read from an engine that holds new bytes where the killed
        // run may have written.
        std::vector<uint8_t> now = old;
        std::fill(now.begin() + kStart, now.begin() + savedEnd, 0x55);
        SaveBlocks(*backup, now, 4096, kStart, 40000);
        ExpectImageUpTo(backup->path(), 40000);
    }
}

TEST_F(BackupTest, AFailedSaveSaysWhyAndClaimsNothing) {
    const int code = kq::test::ExitCodeOfChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        std::string why;
        auto backup = FirmwareBackup::Open(dir, engine, 40000, why, FixedSecond());
        const rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (!backup || !backup->Save(kStart, std::span(old).subspan(kStart, 8192), why)) return 1;
        if (backup->Save(kStart + 8192, std::span(old).subspan(kStart + 8192, 8192), why)) return 2;
        const std::string expected = "cannot write the backup " + os::Utf8Of(backup->path()) +
                                     ": " +
                                     std::make_error_code(std::errc::file_too_large).message();
        return why == expected ? 0 : 3;
    });
    ASSERT_EQ(code, 0);
    auto backup = Open(engine);
    ASSERT_TRUE(backup) << error;
    EXPECT_EQ(backup->saved(), (std::vector<ByteRange>{{kStart, kStart + 8192}}));
}

TEST_F(BackupTest, AFolderTheUserMayNotWriteIsRefused) {
    fs::create_directories(dir);
    chmod(dir.c_str(), 0755);
    const int code = kq::test::ExitCodeAsOrdinaryUser([&] {
        std::string why;
        const bool refused = !FirmwareBackup::Open(dir, engine, 40000, why, FixedSecond());
        const std::string expected = "cannot write in the backup folder " + os::Utf8Of(dir) + ": " +
                                     std::make_error_code(std::errc::permission_denied).message();
        return refused && why == expected ? 0 : 1;
    });
    if (code == kq::test::kNoOrdinaryUser) GTEST_SKIP() << "cannot become an ordinary user";
    EXPECT_EQ(code, 0);
}
#endif

}  // namespace
}  // namespace kq::test
