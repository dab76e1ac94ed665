#include "os/file.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "os/os.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace kq::os {
namespace {

namespace fs = std::filesystem;
using kq::test::PathOf;
using kq::test::ReadBytes;
using kq::test::TempDir;
using kq::test::WriteBytes;

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class FileTest : public ::testing::Test {
  protected:
    fs::path Path(const std::string& name) const { return PathOf(dir_.file(name)); }

    TempDir dir_;
    std::error_code ec;
};

// What exists under the name stays as it is, whatever it is.
TEST_F(FileTest, CreateNewNeverOpensWhatExists) {
    WriteBytes(dir_.file("file"), "old");
    fs::create_directory(Path("folder"));
    std::vector<std::string> names = {"file", "folder"};
#ifndef _WIN32
    fs::create_symlink(Path("file"), Path("link"));
    fs::create_symlink(Path("nowhere"), Path("dangling"));
    names.insert(names.end(), {"link", "dangling"});
#endif
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ec.clear();
        EXPECT_FALSE(File::CreateNew(Path(name), ec));
        EXPECT_EQ(ec, std::errc::file_exists) << ec.message();
    }
    EXPECT_EQ(ReadBytes(dir_.file("file")), "old");
    EXPECT_FALSE(fs::exists(Path("nowhere")));

    File file = File::CreateNew(Path("new"), ec);
    ASSERT_TRUE(file) << ec.message();
    EXPECT_TRUE(file.Close(ec));
    EXPECT_EQ(ReadBytes(dir_.file("new")), "");
}

// Bytes written at an offset are read back by another open; what lies before them reads as zeros.
TEST_F(FileTest, WritesAtOffsetsAreReadBackByASecondOpen) {
    File file = File::CreateNew(Path("image"), ec);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file.WriteAt(6, Bytes("world"), ec)) << ec.message();
    ASSERT_TRUE(file.WriteAt(0, Bytes("hello"), ec));
    ASSERT_TRUE(file.Sync(ec)) << ec.message();

    File reader = File::OpenForReading(Path("image"), ec);
    ASSERT_TRUE(reader) << ec.message();
    uint64_t size = 0;
    ASSERT_TRUE(reader.Size(size, ec));
    EXPECT_EQ(size, 11u);
    std::vector<uint8_t> out(20, 0xFF);
    size_t read = 0;
    ASSERT_TRUE(reader.ReadAt(0, out, read, ec));
    ASSERT_EQ(read, 11u);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 11), std::string("hello\0world", 11));
    ASSERT_TRUE(reader.ReadAt(20, out, read, ec));
    EXPECT_EQ(read, 0u);

    File update = File::OpenForUpdate(Path("image"), ec);
    ASSERT_TRUE(update) << ec.message();
    ASSERT_TRUE(update.WriteAt(5, Bytes(" "), ec));
    ASSERT_TRUE(update.Close(ec));
    EXPECT_EQ(ReadBytes(dir_.file("image")), "hello world");
}

// Only regular files open, and at once: a FIFO must not wait for a writer.
TEST_F(FileTest, OnlyRegularFilesOpen) {
    fs::create_directory(Path("folder"));
    WriteBytes(dir_.file("file"), "x");
    struct Case {
        std::string name;
        bool forUpdate;
        std::errc error;
    };
    std::vector<Case> cases = {
        {"folder", false, std::errc::is_a_directory},
        {"folder", true, std::errc::is_a_directory},
        {"missing", false, std::errc::no_such_file_or_directory},
        {"missing", true, std::errc::no_such_file_or_directory},
    };
#ifndef _WIN32
    ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    fs::create_symlink(Path("file"), Path("link"));
    cases.push_back({"fifo", false, std::errc::invalid_argument});
    cases.push_back({"fifo", true, std::errc::invalid_argument});
    // A link is followed for reading, never written through.
    cases.push_back({"link", true, std::errc::too_many_symbolic_link_levels});
    EXPECT_TRUE(File::OpenForReading(Path("link"), ec));
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (c.forUpdate ? " for update" : " for reading"));
        ec.clear();
        const File file = c.forUpdate ? File::OpenForUpdate(Path(c.name), ec)
                                      : File::OpenForReading(Path(c.name), ec);
        EXPECT_FALSE(file);
        EXPECT_EQ(ec, c.error) << ec.message();
    }
}

TEST_F(FileTest, RenameNoReplaceKeepsWhatHasTheName) {
    WriteBytes(dir_.file("a"), "a");
    WriteBytes(dir_.file("b"), "b");
    EXPECT_FALSE(RenameNoReplace(Path("a"), Path("b"), ec));
    EXPECT_EQ(ec, std::errc::file_exists) << ec.message();
    EXPECT_EQ(ReadBytes(dir_.file("a")), "a");
    EXPECT_EQ(ReadBytes(dir_.file("b")), "b");
    ASSERT_TRUE(RenameNoReplace(Path("a"), Path("c"), ec)) << ec.message();
    EXPECT_FALSE(fs::exists(Path("a")));
    EXPECT_EQ(ReadBytes(dir_.file("c")), "a");
}

TEST_F(FileTest, PlaceChecksSayWhy) {
    EXPECT_TRUE(MayCreateFiles(Path(""), ec)) << ec.message();
    EXPECT_EQ(kq::test::CountFiles(dir_.path()), 0u);  // the probe is gone again
    uint64_t free = 0;
    ASSERT_TRUE(FreeSpace(Path(""), free, ec)) << ec.message();
    const fs::space_info space = fs::space(Path(""));
    EXPECT_GT(free, 0u);
    EXPECT_LE(free, space.capacity);

    ec.clear();
    EXPECT_FALSE(MayCreateFiles(Path("missing"), ec));
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
    ec.clear();
    EXPECT_FALSE(FreeSpace(Path("missing"), free, ec));
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
    ec.clear();
    EXPECT_FALSE(SyncFolder(Path("missing"), ec));
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
    EXPECT_TRUE(SyncFolder(Path(""), ec));
}

TEST_F(FileTest, AppendedLinesStayLinesAfterACutOne) {
    const fs::path log = Path("log");
    ASSERT_TRUE(AppendLine(log, "one", ec)) << ec.message();
    ASSERT_TRUE(AppendLine(log, "two", ec));
    EXPECT_EQ(ReadBytes(dir_.file("log")), "one\ntwo\n");
    WriteBytes(dir_.file("log"), "one\ntw");  // a crash in the middle of a line
    ASSERT_TRUE(AppendLine(log, "three", ec));
    EXPECT_EQ(ReadBytes(dir_.file("log")), "one\ntw\nthree\n");

    ec.clear();
    EXPECT_FALSE(AppendLine(Path("missing/log"), "x", ec));
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory) << ec.message();
}

// Lines of many writers at once, each long enough to need more than one page, arrive whole.
void ExpectWholeLines(const std::string& text, int writers, int lines, size_t length) {
    std::map<std::string, int> seen;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        ASSERT_EQ(line.size(), length) << line.substr(0, 40);
        ASSERT_TRUE(
            std::all_of(line.begin() + 8, line.end(), [&](char c) { return c == line[0]; }));
        ++seen[line.substr(0, 8)];
        start = end + 1;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * lines));
    for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key;
}

std::string LineOf(int writer, int n, size_t length) {
    char key[9];
    std::snprintf(key, sizeof key, "%c%03d%04d", 'a' + writer, writer, n);
    return std::string(key) + std::string(length - 8, key[0]);
}

TEST_F(FileTest, ThreadsAppendingAtOnceNeverMixTheirLines) {
    constexpr int kThreads = 8;
    constexpr int kLines = 100;
    constexpr size_t kLength = 6000;
    const fs::path log = Path("log");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::error_code error;
            for (int n = 0; n < kLines; ++n) {
                if (!AppendLine(log, LineOf(t, n, kLength), error)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    ExpectWholeLines(ReadBytes(dir_.file("log")), kThreads, kLines, kLength);
}

#ifndef _WIN32
TEST_F(FileTest, ProcessesAppendingAtOnceNeverMixTheirLines) {
    constexpr int kProcesses = 4;
    constexpr int kLines = 100;
    constexpr size_t kLength = 6000;
    const fs::path log = Path("log");
    EXPECT_TRUE(kq::test::AllChildrenSucceed(kProcesses, [&](int p) {
        std::error_code error;
        for (int n = 0; n < kLines; ++n) {
            if (!AppendLine(log, LineOf(p, n, kLength), error)) return 1;
        }
        return 0;
    }));
    ExpectWholeLines(ReadBytes(dir_.file("log")), kProcesses, kLines, kLength);
}

// The reason is the failing call's own, not what a later call left in errno ("Success").
TEST_F(FileTest, AFailedWriteSaysWhyItFailed) {
    const std::string path = dir_.file("big");
    const int code = kq::test::ExitCodeOfChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::error_code error;
        File file = File::CreateNew(path, error);
        const std::vector<uint8_t> bytes(8192, 1);
        if (!file || file.WriteAt(0, bytes, error)) return 1;
        if (error != std::errc::file_too_large) return 2;
        error.clear();
        if (AppendLine(path, std::string(8192, 'x'), error)) return 3;
        return error == std::errc::file_too_large ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(FileTest, AnOrdinaryUserCannotCreateFilesInAnotherUsersFolder) {
    chmod(dir_.path().c_str(), 0755);
    fs::create_directory(Path("own"));
    chmod(dir_.file("own").c_str(), 0777);
    const fs::path dir = PathOf(dir_.path());
    const fs::path own = Path("own");
    const int code = kq::test::ExitCodeAsOrdinaryUser([&] {
        std::error_code error;
        if (MayCreateFiles(dir, error) || error != std::errc::permission_denied) return 1;
        if (AppendLine(dir / "log", "x", error) || error != std::errc::permission_denied) return 2;
        return MayCreateFiles(own, error) ? 0 : 3;
    });
    if (code == kq::test::kNoOrdinaryUser) GTEST_SKIP() << "cannot become an ordinary user";
    EXPECT_EQ(code, 0);
}
#endif

}  // namespace
}  // namespace kq::os
