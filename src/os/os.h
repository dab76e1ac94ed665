#pragma once

// The program's calls into the system, one implementation for POSIX systems (os_posix.cpp,
// file_posix.cpp) and one for Windows (os_win32.cpp, file_win32.cpp). Names are UTF-8 on both;
// the calls of this header leave the reason of a failure in errno, those of file.h return it.

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kq::os {

#ifdef _WIN32
using ProcessId = unsigned long;
// Windows takes both separators; the names it gives end folders with a backslash.
inline constexpr char kSeparator = '\\';
inline constexpr std::string_view kSeparators = "\\/";
#else
using ProcessId = pid_t;
inline constexpr char kSeparator = '/';
inline constexpr std::string_view kSeparators = "/";
#endif

inline bool IsSeparator(char c) {
    return kSeparators.find(c) != std::string_view::npos;
}

#ifdef _WIN32
// UTF-8 and the UTF-16 of Windows' wide calls.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
#endif

// A UTF-8 name as a path, and back. A plain std::string would go through the C library's
// locale on Windows, not UTF-8.
std::filesystem::path PathFromUtf8(std::string_view name);
std::string Utf8Of(const std::filesystem::path& path);

ProcessId CurrentProcessId();

// The running executable's full path; empty when it cannot be told. The one place the program's
// own path is asked of the system: its folder and the module paths are cut from it.
std::string ExecutablePath();

// The system's language: the primary language id in the low 8 bits (0x04 Chinese, 0x09
// English, others as they come).
unsigned SystemDefaultLanguage();
#ifdef _WIN32
// The language of the user's interface, in the same form: Windows' display language. Elsewhere
// the locale variables alone say it.
unsigned UserInterfaceLanguage();
#endif

// The folder for the user's own copy of Config.ini, with a trailing separator; empty when it
// cannot be told.
std::string UserConfigDir();
// The user's data and state folders (the program's own go below them): $XDG_DATA_HOME, else
// ~/.local/share, and $XDG_STATE_HOME, else ~/.local/state, with the account's home when HOME is
// unset (a service, a cron job); on Windows both %LOCALAPPDATA%. Empty when none can be told.
std::filesystem::path UserDataDir();
std::filesystem::path UserStateDir();
// The system's data folders, in the order they are searched: the absolute entries of
// $XDG_DATA_DIRS, else /usr/local/share and /usr/share. None on Windows.
std::vector<std::filesystem::path> SystemDataDirs();

// The width in columns of the terminal that standard output goes to; 0 when it goes elsewhere
// (a file, a pipe).
unsigned StandardOutputColumns();

// The local time at `when`, and its distance from UTC in seconds (east positive).
std::tm LocalTime(std::time_t when, long* utcOffsetSeconds = nullptr);

bool Exists(const std::string& path);
// Where the chain of symbolic links starting at path ends, also when nothing is there (yet);
// path itself when it is no link. Empty, with errno ELOOP, for a chain that does not end.
// Windows: path itself.
std::string LinkTarget(const std::string& path);
// Whether this user may change the file, or create files in the folder.
bool MayWrite(const std::string& path);
// Creates the folder and its parents as needed; a failure shows when the folder is used.
void CreateFolders(const std::string& path);

enum class ReadResult { Ok, Missing, Failed };
// The bytes of a regular file of at most maxSize bytes, read without waiting for a writer when
// something else (a FIFO, a pipe) has the name. Missing when there is no such file; Failed with
// errno EISDIR for a folder, EINVAL for what is not a regular file, EFBIG when it is larger.
ReadResult ReadRegularFile(const std::string& path, size_t maxSize, std::string& out);

// Writes a temporary file beside `path`, flushes it to disk and renames it over `path`: readers
// see either the old or the new content, never a part of it. Refuses a read-only file. On
// POSIX systems a symbolic link stays: the file at its end (LinkTarget) is written.
// Afterwards removes what earlier writes that died before their rename left behind. (Not
// ReplaceFile: windows.h makes that name a macro.)
bool ReplaceContent(const std::string& path, std::string_view data);

// The temporary files of ReplaceContent: ".BASE.tmpPID-N" beside BASE.
std::string TempFileName(std::string_view base, ProcessId pid, unsigned n);
// The writer's process id when `name` is a temporary name of `base`, else 0.
ProcessId TempFileOwner(std::string_view name, std::string_view base);
// Far longer than any write takes, even to a slow stick: older temporary files are stale
// whoever wrote them.
inline constexpr time_t kStaleTempAge = 5 * 60;

}  // namespace kq::os
