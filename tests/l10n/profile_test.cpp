#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "l10n/settings.h"
#include "l10n/text.h"
#include "tests/support/temp_dir.h"

namespace kq::profile {
namespace {

using kq::test::CountFiles;
using kq::test::PathOf;
using kq::test::ReadBytes;
using kq::test::TempDir;
using kq::test::WriteBytes;

class ProfileTest : public ::testing::Test {
  protected:
    std::string Get(std::string_view section, std::string_view key, size_t size = 260,
                    std::string_view fallback = "<default>") {
        return GetString(ini_, section, key, fallback, size);
    }

    TempDir dir_;
    std::string ini_ = dir_.file("Config.ini");
};

TEST_F(ProfileTest, NamesMatchWithoutRegardToCase) {
    WriteBytes(ini_, "[Themes]\nSOLUTION=English\n");
    EXPECT_EQ(Get("themes", "Solution"), "English");
    EXPECT_EQ(Get("THEMES", "solution"), "English");
}

TEST_F(ProfileTest, FirstEqualsSignSplits) {
    WriteBytes(ini_, "[s]\na=b=c\n");
    EXPECT_EQ(Get("s", "a"), "b=c");
}

TEST_F(ProfileTest, BlanksAroundKeyAndValueAreRemoved) {
    WriteBytes(ini_, "  [ s ]  \n \t key \t=  two words \t\n");
    EXPECT_EQ(Get("s", "key"), "two words");
}

TEST_F(ProfileTest, OnePairOfEnclosingQuotesIsRemoved) {
    WriteBytes(ini_,
               "[s]\n"
               "d = \"  padded  \"\n"
               "q='single'\n"
               "nested=\"'inner'\"\n"
               "mixed=\"open'\n"
               "lone=\"\n"
               "inside=a \"b\" c\n"
               "empty=\"\"\n");
    EXPECT_EQ(Get("s", "d"), "  padded  ");
    EXPECT_EQ(Get("s", "q"), "single");
    EXPECT_EQ(Get("s", "nested"), "'inner'");
    EXPECT_EQ(Get("s", "mixed"), "\"open'");
    EXPECT_EQ(Get("s", "lone"), "\"");
    EXPECT_EQ(Get("s", "inside"), "a \"b\" c");
    EXPECT_EQ(Get("s", "empty"), "");
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(Get("s", "k"), "<default>");
    WriteBytes(ini_, "[other]\nk=1\n[s]\nj=2\nk\n");
    EXPECT_EQ(Get("none", "k"), "<default>");
    EXPECT_EQ(Get("s", "missing"), "<default>");
    EXPECT_EQ(Get("s", "k"), "<default>");  // a line without "=" holds no value
}

TEST_F(ProfileTest, EmptyValueIsReadAsEmpty) {
    WriteBytes(ini_, "[s]\nk=\nb=   \n");
    EXPECT_EQ(Get("s", "k"), "");
    EXPECT_EQ(Get("s", "b"), "");
}

TEST_F(ProfileTest, ResultIsCutToBufferSizeLessOne) {
    WriteBytes(ini_, "[s]\nk=abcdefghij\n");
    EXPECT_EQ(Get("s", "k", 5), "abcd");
    EXPECT_EQ(Get("s", "k", 11), "abcdefghij");
    EXPECT_EQ(Get("s", "k", 1), "");
    EXPECT_EQ(Get("s", "k", 0), "");
    EXPECT_EQ(Get("s", "missing", 4, "default"), "def");
}

TEST_F(ProfileTest, CutNeverSplitsAUtf8Character) {
    WriteBytes(ini_, "[s]\nk=中文字\n");  // three characters of three bytes
    EXPECT_EQ(Get("s", "k", 10), "中文字");
    EXPECT_EQ(Get("s", "k", 9), "中文");
    EXPECT_EQ(Get("s", "k", 7), "中文");
    EXPECT_EQ(Get("s", "k", 6), "中");
    EXPECT_EQ(Get("s", "k", 3), "");
}

TEST_F(ProfileTest, CommentsBlankLinesAndByteOrderMarkAreSkipped) {
    WriteBytes(ini_, "\xEF\xBB\xBF[s]\r\n; k=commented\r\n\r\n# k=also\r\nk=real\r\n");
    EXPECT_EQ(Get("s", "k"), "real");
    EXPECT_EQ(GetSection(ini_, "s", 260), std::vector<std::string>{"k=real"});
}

TEST_F(ProfileTest, FirstSectionAndFirstKeyOfTheNameWin) {
    WriteBytes(ini_, "[s]\nk=first\nk=second\n[S]\nk=third\nonly=later\n");
    EXPECT_EQ(Get("s", "k"), "first");
    EXPECT_EQ(Get("s", "only"), "<default>");
}

TEST_F(ProfileTest, Gb18030FileIsReadAsUtf8) {
    // "[String]", "Name=简体中文", a section named 乚 whose second byte is ']'.
    WriteBytes(ini_, "[String]\r\nName=\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4\r\n[\x81\x5D]\r\nk=v\r\n");
    EXPECT_EQ(Get("String", "name"), "简体中文");
    EXPECT_EQ(Get("乚", "k"), "v");
    EXPECT_EQ(Get("String", "name", 8), "简体");
}

TEST_F(ProfileTest, SectionListsEntriesInFileOrder) {
    WriteBytes(ini_,
               "[dialog]\ndlg3 = true\n; note\n\ndlg1=true\nbare line\n=nokey\n[next]\nx=1\n");
    EXPECT_EQ(GetSection(ini_, "DIALOG", 260),
              (std::vector<std::string>{"dlg3=true", "dlg1=true", "bare line"}));
    EXPECT_TRUE(GetSection(ini_, "missing", 260).empty());
    EXPECT_TRUE(GetSection(dir_.file("none.ini"), "dialog", 260).empty());
}

TEST_F(ProfileTest, SectionIsCutAsOneBlock) {
    // Entries of 8 bytes take 9 with their zero; one more zero ends the block.
    std::string content = "[s]\n";
    for (int i = 0; i < 10; ++i) content += "k" + std::to_string(i) + "=value\n";
    WriteBytes(ini_, content);
    EXPECT_EQ(GetSection(ini_, "s", 91).size(), 10u);
    EXPECT_EQ(GetSection(ini_, "s", 91).back(), "k9=value");
    EXPECT_EQ(GetSection(ini_, "s", 90).size(), 10u);
    EXPECT_EQ(GetSection(ini_, "s", 90).back(), "k9=valu");
    const std::vector<std::string> cut = GetSection(ini_, "s", 25);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[2], "k2=va");
    EXPECT_EQ(GetSection(ini_, "s", 20).size(), 2u);
    EXPECT_TRUE(GetSection(ini_, "s", 2).empty());
}

TEST_F(ProfileTest, SectionCutNeverSplitsAUtf8Character) {
    WriteBytes(ini_, "[s]\nk=中文\n");  // "k=中文" is 8 bytes
    EXPECT_EQ(GetSection(ini_, "s", 10), std::vector<std::string>{"k=中文"});
    EXPECT_EQ(GetSection(ini_, "s", 9), std::vector<std::string>{"k=中"});
    EXPECT_EQ(GetSection(ini_, "s", 6), std::vector<std::string>{"k="});
}

TEST_F(ProfileTest, WriteCreatesFileSectionAndKey) {
    EXPECT_TRUE(WriteString(ini_, "themes", "Solution", "English"));
    EXPECT_EQ(ReadBytes(ini_), "[themes]\nSolution=English\n");
    EXPECT_TRUE(WriteString(ini_, "dialog", "dlg1", "true"));
    EXPECT_EQ(ReadBytes(ini_), "[themes]\nSolution=English\n\n[dialog]\ndlg1=true\n");
    EXPECT_TRUE(WriteString(ini_, "themes", "Other", "x"));
    EXPECT_EQ(ReadBytes(ini_), "[themes]\nSolution=English\nOther=x\n\n[dialog]\ndlg1=true\n");
}

TEST_F(ProfileTest, WriteCreatesMissingFolderNever) {
    EXPECT_FALSE(WriteString(dir_.file("absent/Config.ini"), "themes", "Solution", "English"));
}

TEST_F(ProfileTest, WriteReplacesValueInPlaceAndKeepsEveryOtherByte) {
    const std::string before =
        "\xEF\xBB\xBF; settings of the tool\r\n"
        "\r\n"
        "[Themes]   \r\n"
        "  solution =  \"SimpChinese\"  \r\n"
        "; the pages\r\n"
        "[dialog]\r\n"
        "dlg3=true\r\n"
        "dlg1=true";
    WriteBytes(ini_, before);
    EXPECT_TRUE(WriteString(ini_, "themes", "Solution", "English"));
    std::string expected = before;
    expected.replace(expected.find("\"SimpChinese\"  "), 15, "English");
    EXPECT_EQ(ReadBytes(ini_), expected);
}

TEST_F(ProfileTest, WriteAddsKeyAfterLastEntryWithTheFileLineEndings) {
    WriteBytes(ini_, "[themes]\r\nA=1\r\n\r\n; pages\r\n[dialog]\r\ndlg1=true\r\n");
    EXPECT_TRUE(WriteString(ini_, "THEMES", "Solution", "English"));
    EXPECT_EQ(ReadBytes(ini_),
              "[themes]\r\nA=1\r\nSolution=English\r\n\r\n; pages\r\n[dialog]\r\ndlg1=true\r\n");
    EXPECT_TRUE(WriteString(ini_, "dialog", "dlg2", "true"));
    EXPECT_EQ(ReadBytes(ini_),
              "[themes]\r\nA=1\r\nSolution=English\r\n\r\n; pages\r\n[dialog]\r\n"
              "dlg1=true\r\ndlg2=true\r\n");
}

TEST_F(ProfileTest, WriteAfterALastLineWithoutLineEnding) {
    WriteBytes(ini_, "[themes]\r\nA=1");
    EXPECT_TRUE(WriteString(ini_, "themes", "B", "2"));
    EXPECT_EQ(ReadBytes(ini_), "[themes]\r\nA=1\r\nB=2");
    EXPECT_TRUE(WriteString(ini_, "new", "C", "3"));
    EXPECT_EQ(ReadBytes(ini_), "[themes]\r\nA=1\r\nB=2\r\n\r\n[new]\r\nC=3\r\n");
}

TEST_F(ProfileTest, WrittenValuesReadBackUnchanged) {
    for (const std::string value : {"plain", "", "  blanks  ", "\"quoted\"", "'single'", "a=b",
                                    "简体中文", "x\"", "; not a comment"}) {
        ASSERT_TRUE(WriteString(ini_, "s", "k", value)) << value;
        EXPECT_EQ(Get("s", "k"), value);
    }
}

TEST_F(ProfileTest, WriteRefusesTextThatCannotStandOnOneLine) {
    WriteBytes(ini_, "[s]\nk=old\n");
    EXPECT_FALSE(WriteString(ini_, "s", "k", "two\nlines"));
    EXPECT_FALSE(WriteString(ini_, "s", "k", "cr\r"));
    EXPECT_FALSE(WriteString(ini_, "s", "a=b", "v"));
    EXPECT_FALSE(WriteString(ini_, "s", "", "v"));
    EXPECT_FALSE(WriteString(ini_, "a]b", "k", "v"));
    EXPECT_FALSE(WriteString(ini_, "", "k", "v"));
    EXPECT_EQ(ReadBytes(ini_), "[s]\nk=old\n");
}

TEST_F(ProfileTest, WriteIntoGb18030FileKeepsItsEncoding) {
    const std::string before = "; \xD6\xD0\xCE\xC4\r\n[String]\r\nName=\xD6\xD0\r\n";
    WriteBytes(ini_, before);
    EXPECT_TRUE(WriteString(ini_, "String", "Name", "简体"));
    EXPECT_EQ(ReadBytes(ini_), "; \xD6\xD0\xCE\xC4\r\n[String]\r\nName=\xBC\xF2\xCC\xE5\r\n");
    EXPECT_EQ(Get("String", "Name"), "简体");
}

#ifdef _WIN32
// Modes, links, the file size limit and killing a writer are matters of POSIX systems; Windows
// has its read-only and hidden marks.
TEST_F(ProfileTest, WriteKeepsTheHiddenMarkAndLeavesNoTemporaryFile) {
    WriteBytes(ini_, "[s]\nk=1\n");
    const std::wstring name = PathOf(ini_).wstring();
    ASSERT_TRUE(SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(WriteString(ini_, "s", "k", "2"));
    EXPECT_EQ(ReadBytes(ini_), "[s]\nk=2\n");
    EXPECT_NE(GetFileAttributesW(name.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(CountFiles(dir_.path()), 1u);
}

TEST_F(ProfileTest, ReadOnlyFileIsNotReplaced) {
    WriteBytes(ini_, "[themes]\nSolution=English\n");
    const std::wstring name = PathOf(ini_).wstring();
    ASSERT_TRUE(SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(WriteString(ini_, "themes", "Solution", "SimpChinese"));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(Get("themes", "Solution"), "English");
    EXPECT_EQ(CountFiles(dir_.path()), 1u);
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
}
#else
TEST_F(ProfileTest, WriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    WriteBytes(ini_, "[s]\nk=1\n");
    ASSERT_EQ(chmod(ini_.c_str(), 0640), 0);
    EXPECT_TRUE(WriteString(ini_, "s", "k", "2"));
    struct stat st {};
    ASSERT_EQ(stat(ini_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(CountFiles(dir_.path()), 1u);
}

TEST_F(ProfileTest, WriteThroughSymbolicLinkUpdatesTheTarget) {
    const std::string target = dir_.file("real.ini");
    WriteBytes(target, "[s]\nk=1\n");
    ASSERT_EQ(symlink(target.c_str(), ini_.c_str()), 0);
    EXPECT_TRUE(WriteString(ini_, "s", "k", "2"));
    struct stat st {};
    ASSERT_EQ(lstat(ini_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadBytes(target), "[s]\nk=2\n");
}

TEST_F(ProfileTest, FailedWriteInReadOnlyFolderChangesNothing) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    WriteBytes(ini_, "[themes]\nSolution=English\n");
    ASSERT_EQ(chmod(dir_.path().c_str(), 0500), 0);
    EXPECT_FALSE(WriteString(ini_, "themes", "Solution", "SimpChinese"));
    EXPECT_FALSE(WriteString(dir_.file("new.ini"), "themes", "Solution", "SimpChinese"));
    chmod(dir_.path().c_str(), 0700);
    EXPECT_EQ(ReadBytes(ini_), "[themes]\nSolution=English\n");
    EXPECT_EQ(CountFiles(dir_.path()), 1u);
}

TEST_F(ProfileTest, ReadOnlyFileIsNotReplaced) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    WriteBytes(ini_, "[themes]\nSolution=English\n");
    ASSERT_EQ(chmod(ini_.c_str(), 0400), 0);
    EXPECT_FALSE(WriteString(ini_, "themes", "Solution", "SimpChinese"));
    EXPECT_EQ(Get("themes", "Solution"), "English");
}

// A full disk: the file size limit makes every write past it fail, for the superuser too.
TEST_F(ProfileTest, FailedWriteOnFullDiskChangesNothing) {
    const std::string before = "; keep me\n[themes]\nSolution=English\n";
    WriteBytes(ini_, before);
    const std::string big(4096, 'x');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(WriteString(ini_, "themes", "Solution", big) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write reported success";
    EXPECT_EQ(ReadBytes(ini_), before);
    EXPECT_EQ(CountFiles(dir_.path()), 1u) << "the temporary file was left behind";
}

// A process killed in the middle of writing leaves the old file whole.
TEST_F(ProfileTest, WriteInterruptedByDeathKeepsTheOldFile) {
    const std::string before = "; keep me\r\n[themes]\r\nSolution=English\r\n";
    WriteBytes(ini_, before);
    const std::string big(1 << 16, 'x');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGXFSZ, SIG_DFL);  // exceeding the limit kills the process mid-write
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        WriteString(ini_, "themes", "Solution", big);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(ReadBytes(ini_), before);
    EXPECT_EQ(GetString(ini_, "themes", "Solution", "", 64), "English");
}
#endif

TEST_F(ProfileTest, LoneCarriageReturnEndsALine) {
    WriteBytes(ini_, "[s]\rk=1\rj= 2 \r\n[t]\rk=3");
    EXPECT_EQ(Get("s", "k"), "1");
    EXPECT_EQ(Get("s", "j"), "2");
    EXPECT_EQ(Get("t", "k"), "3");
    EXPECT_EQ(GetSection(ini_, "s", 260), (std::vector<std::string>{"k=1", "j=2"}));
}

TEST_F(ProfileTest, WriteAfterALastLineEndedByALoneCarriageReturn) {
    WriteBytes(ini_, "[themes]\r\nOther=1\r");
    EXPECT_TRUE(WriteString(ini_, "themes", "Solution", "English"));
    EXPECT_EQ(Get("themes", "Other"), "1");
    EXPECT_EQ(Get("themes", "Solution"), "English");
    EXPECT_EQ(ReadBytes(ini_), "[themes]\r\nOther=1\rSolution=English\r\n");

    WriteBytes(ini_, "[dialog]\r\ndlg1=true\r\ndlg2=true\r");
    EXPECT_TRUE(WriteString(ini_, "themes", "Solution", "English"));
    EXPECT_EQ(GetSection(ini_, "dialog", 260),
              (std::vector<std::string>{"dlg1=true", "dlg2=true"}));
    EXPECT_EQ(Get("themes", "Solution"), "English");

    WriteBytes(ini_, "[s]\rk=1\r");  // a file that ends every line so
    EXPECT_TRUE(WriteString(ini_, "s", "j", "2"));
    EXPECT_TRUE(WriteString(ini_, "s", "k", "3"));
    EXPECT_EQ(ReadBytes(ini_), "[s]\rk=3\rj=2\r");
}

TEST_F(ProfileTest, ByteOrderMarkDoesNotMakeGb18030BytesUtf8) {
    // "简体" in GB18030 behind a UTF-8 byte-order mark.
    const std::string before = "\xEF\xBB\xBF[String]\r\nName=\xBC\xF2\xCC\xE5\r\n";
    WriteBytes(ini_, before);
    EXPECT_EQ(Get("String", "Name"), "简体");
    EXPECT_EQ(GetSection(ini_, "String", 260), std::vector<std::string>{"Name=简体"});
    EXPECT_TRUE(WriteString(ini_, "String", "Other", "中文"));
    EXPECT_EQ(ReadBytes(ini_), before + "Other=\xD6\xD0\xCE\xC4\r\n");
    EXPECT_EQ(Get("String", "Other"), "中文");

    // Bytes that are neither: shown as unknown characters, never passed on.
    WriteBytes(ini_, "\xEF\xBB\xBF[s]\nk=a\xFF\xD6\n");
    const std::string value = Get("s", "k");
    EXPECT_TRUE(text::IsValidUtf8(value)) << value;
    EXPECT_EQ(value, "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(ProfileTest, FileOverOneMebibyteIsRefusedUnread) {
    const std::string head = "[themes]\nSolution=English\n[dialog]\ndlg1=true\n";
    std::string big = head + std::string(kMaxFileSize - head.size() - 1, ';') + "\n";
    ASSERT_EQ(big.size(), kMaxFileSize);
    WriteBytes(ini_, big);
    EXPECT_EQ(Get("themes", "Solution"), "English");  // the largest file that is read

    big += "x";
    WriteBytes(ini_, big);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Get("themes", "Solution"), "<default>");
    EXPECT_TRUE(GetSection(ini_, "dialog", 260).empty());
    EXPECT_FALSE(WriteString(ini_, "themes", "Solution", "SimpChinese"));
    EXPECT_EQ(errno, EFBIG);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(ini_ + " is larger than 1 MiB"), std::string::npos) << said;
    EXPECT_EQ(ReadBytes(ini_), big);
}

#ifdef _WIN32
// A pipe's name opens at once while its server waits; reading it would wait for the server.
TEST_F(ProfileTest, WhatIsNotARegularFileIsNotRead) {
    const std::string pipe = "\\\\.\\pipe\\kq-profile-" + std::to_string(GetCurrentProcessId());
    // One waiting instance for each open below.
    HANDLE servers[2];
    for (HANDLE& server : servers) {
        server = CreateNamedPipeW(PathOf(pipe).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 2, 512,
                                  512, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(GetString(pipe, "s", "k", "<default>", 260), "<default>");
    EXPECT_FALSE(WriteString(pipe, "s", "k", "v"));
    EXPECT_EQ(errno, EINVAL);
    for (const HANDLE server : servers) CloseHandle(server);
    const std::string folder = dir_.file("Folder.ini");
    ASSERT_TRUE(std::filesystem::create_directory(PathOf(folder)));
    EXPECT_FALSE(WriteString(folder, "s", "k", "v"));
    EXPECT_EQ(errno, EISDIR);
}

// Processes of this test's own program that never run (they start suspended): one that stays
// for the test, one that has ended.
class OtherProcesses {
  public:
    OtherProcesses() {
        const std::filesystem::path exe = ExecutablePath();
        std::wstring command = L"\"" + exe.wstring() + L"\" --gtest_list_tests";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION ended{};
        for (PROCESS_INFORMATION* info : {&live_, &ended}) {
            if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                                CREATE_SUSPENDED, nullptr, nullptr, &startup, info)) {
                std::abort();
            }
        }
        TerminateProcess(ended.hProcess, 0);
        WaitForSingleObject(ended.hProcess, INFINITE);
        CloseHandle(ended.hThread);
        CloseHandle(ended.hProcess);
        ended_ = std::to_string(ended.dwProcessId);
    }
    ~OtherProcesses() {
        TerminateProcess(live_.hProcess, 0);
        WaitForSingleObject(live_.hProcess, INFINITE);
        CloseHandle(live_.hThread);
        CloseHandle(live_.hProcess);
    }
    OtherProcesses(const OtherProcesses&) = delete;
    OtherProcesses& operator=(const OtherProcesses&) = delete;

    std::string ended() const { return ended_; }
    std::string live() const { return std::to_string(live_.dwProcessId); }
    static std::string own() { return std::to_string(GetCurrentProcessId()); }

  private:
    static std::filesystem::path ExecutablePath() {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        return exe;
    }

    PROCESS_INFORMATION live_{};
    std::string ended_;
};

void MakeAnHourOld(const std::string& file) {
    const HANDLE handle = CreateFileW(PathOf(file).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart -= 3600ULL * 10'000'000;
    const FILETIME then{ticks.LowPart, ticks.HighPart};
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &then));
    CloseHandle(handle);
}
#else
TEST_F(ProfileTest, WhatIsNotARegularFileIsNotRead) {
    ASSERT_EQ(mkfifo(ini_.c_str(), 0600), 0);  // reading would wait for a writer for ever
    EXPECT_EQ(Get("s", "k"), "<default>");
    EXPECT_FALSE(WriteString(ini_, "s", "k", "v"));
    const std::string folder = dir_.file("Folder.ini");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    EXPECT_FALSE(WriteString(folder, "s", "k", "v"));
    EXPECT_EQ(errno, EISDIR);
}

// Process ids of another process that is alive while the test runs, and of one that has ended.
class OtherProcesses {
  public:
    OtherProcesses() {
        const pid_t ended = fork();
        if (ended < 0) std::abort();
        if (ended == 0) _exit(0);
        waitpid(ended, nullptr, 0);
        ended_ = std::to_string(ended);
    }
    std::string ended() const { return ended_; }
    static std::string live() { return std::to_string(getppid()); }
    static std::string own() { return std::to_string(getpid()); }

  private:
    std::string ended_;
};

void MakeAnHourOld(const std::string& file) {
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), anHourAgo, 0), 0);
}
#endif

// Temporary files of writers killed before their rename: the next write clears those whose
// process is gone or that are older than any write takes, and nothing else.
TEST_F(ProfileTest, SuccessfulWriteRemovesStaleTemporaryFiles) {
    const OtherProcesses others;
    const std::string dead = others.ended();
    const std::string live = others.live();
    const std::string own = others.own();
    const std::vector<std::string> stale = {".Config.ini.tmp" + dead + "-0",
                                            ".Config.ini.tmp" + dead + "-17",
                                            ".Config.ini.tmp" + live + "-3"};  // made old below
    const std::vector<std::string> kept = {
        ".Config.ini.tmp" + live + "-4",   // its writer may be at work
        ".Config.ini.tmp" + own + "-99",   // this process's own, young
        ".Other.ini.tmp" + dead + "-0",    // another file's
        "Config.ini.tmp" + dead + "-0",    // not the pattern
        ".Config.ini.tmp" + dead + "-",    // not the pattern
        ".Config.ini.tmp" + dead + "-1x",  // not the pattern
        ".Config.ini.tmp-" + dead + "-1",  // not the pattern
    };
    for (const std::string& name : stale) WriteBytes(dir_.file(name), "partial");
    for (const std::string& name : kept) WriteBytes(dir_.file(name), "partial");
    MakeAnHourOld(dir_.file(stale[2]));
    const std::string aFolder = dir_.file(".Config.ini.tmp" + dead + "-5");
    ASSERT_TRUE(std::filesystem::create_directory(PathOf(aFolder)));

    WriteBytes(ini_, "[s]\nk=1\n");
    EXPECT_TRUE(WriteString(ini_, "s", "k", "1"));  // nothing written, nothing removed
    EXPECT_EQ(CountFiles(dir_.path()), 1 + stale.size() + kept.size() + 1);
    EXPECT_TRUE(WriteString(ini_, "s", "k", "2"));
    for (const std::string& name : stale)
        EXPECT_FALSE(std::filesystem::exists(PathOf(dir_.file(name)))) << name;
    for (const std::string& name : kept)
        EXPECT_TRUE(std::filesystem::exists(PathOf(dir_.file(name)))) << name;
    EXPECT_TRUE(std::filesystem::exists(PathOf(aFolder)));
    EXPECT_EQ(ReadBytes(ini_), "[s]\nk=2\n");
}

// The reader and writer on bytes alone, as GetString, GetSection and WriteString use them.
TEST(ProfileBytes, ReadAndWriteWithoutAFile) {
    const std::string bytes = "[A]\r\nx = \"1\" \r\n[b]\r\ny=2\r\n";
    EXPECT_EQ(FindValue(bytes, "a", "X"), "1");
    EXPECT_EQ(FindValue(bytes, "a", "y"), std::nullopt);
    EXPECT_EQ(SectionEntries(bytes, "B", 260), std::vector<std::string>{"y=2"});
    EXPECT_EQ(WithString(bytes, "b", "z", "3"), "[A]\r\nx = \"1\" \r\n[b]\r\ny=2\r\nz=3\r\n");
    EXPECT_EQ(WithString("", "s", "k", "v"), "[s]\nk=v\n");
    EXPECT_EQ(WithString(bytes, "b", "z", "two\nlines"), std::nullopt);
}

// Writing away a GB18030 file's only bytes that are not UTF-8 must not turn its other texts
// into UTF-8 ones: "茅" in GB18030 is also valid UTF-8 for another letter.
TEST(ProfileBytes, WriteKeepsAGb18030FileGb18030) {
    const std::string bytes = text::Utf8ToGb18030("[themes]\r\nSolution=简体\r\nName=茅\r\n");
    const auto after = WithString(bytes, "themes", "Solution", "English");
    ASSERT_TRUE(after);
    EXPECT_EQ(FindValue(*after, "themes", "Name"), "茅");
    EXPECT_EQ(FindValue(*after, "themes", "Solution"), "English");
    EXPECT_TRUE(after->starts_with("[themes]\r\nSolution=English\r\nName=\xC3\xA9\r\n"))
        << "every other byte stays";
    EXPECT_EQ(WithString("[a]\nk=\xB0\xA1\n", "a", "k", "v"), "[a]\nk=v\n")
        << "a file left all ASCII reads the same either way";
}

TEST(ProfileBytes, TableFindsWhatTheReaderFinds) {
    const std::string bytes =
        "k=outside\n[Other]\nk=other\n[String]\nK=first\nk=second\nEmpty=\n"
        "q = ' quoted '\n=nokey\nbare\n中文.键=值\n[string]\nlater=1\n";
    const SectionTable table = SectionTable::Parse(bytes, "string");
    for (const char* key : {"k", "K", "empty", "q", "", "bare", "中文.键", "later", "missing"}) {
        EXPECT_EQ(table.Find(key), FindValue(bytes, "String", key)) << key;
    }
    EXPECT_EQ(table.Find("k"), "first");
    EXPECT_EQ(table.size(), 6u);
    EXPECT_EQ(SectionTable::Parse(bytes, "none").size(), 0u);
}

// Entries without a name (lines that start with "="): the first is found, however many there
// are and however many entries they are sorted among.
TEST(ProfileBytes, TableFindsTheFirstEntryWithoutAName) {
    std::string bytes = "[String]\n=\n=second\n=third\n";
    for (int i = 0; i < 40; ++i) bytes += "k" + std::to_string(i) + "=v\n";
    ASSERT_EQ(FindValue(bytes, "String", ""), "");
    EXPECT_EQ(SectionTable::Parse(bytes, "String").Find(""), "");
}

TEST_F(ProfileTest, UnchangedValueLeavesTheFileAlone) {
    WriteBytes(ini_, "[s]\nk=same\n");
    struct stat before {};
    ASSERT_EQ(stat(ini_.c_str(), &before), 0);
    EXPECT_TRUE(WriteString(ini_, "S", "K", "same"));
    struct stat after {};
    ASSERT_EQ(stat(ini_.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

}  // namespace
}  // namespace kq::profile
