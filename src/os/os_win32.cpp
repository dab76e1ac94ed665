#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <filesystem>

#include "os/os.h"
#include "os/win32_support.h"

namespace kq::os {
namespace {

using win32::ErrnoOf;
using win32::Handle;

bool Fail(DWORD error) {
    errno = ErrnoOf(error);
    return false;
}

bool WriteAll(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 20));
        if (!WriteFile(file, data.data(), chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data.remove_prefix(written);
    }
    return true;
}

// A process that may be writing a temporary file at this moment counts as alive: one this user
// may not ask about, too.
bool ProcessIsGone(ProcessId pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Removes what writes that died before their rename left behind: files whose process is gone,
// and files older than any write takes (a process id is soon given to another process). Files of
// this process only go by age, since another thread may be writing.
void RemoveStaleTempFiles(const std::string& dir, std::string_view base) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(Wide(dir + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    constexpr uint64_t kTicksPerSecond = 10'000'000;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            0) {
            continue;
        }
        const std::string name = Utf8(found.cFileName);
        const ProcessId pid = TempFileOwner(name, base);
        if (pid == 0) continue;
        const uint64_t written = Ticks(found.ftLastWriteTime);
        const bool old = Ticks(now) > written && (Ticks(now) - written) / kTicksPerSecond >
                                                     static_cast<uint64_t>(kStaleTempAge);
        const bool gone = pid != GetCurrentProcessId() && ProcessIsGone(pid);
        if (gone || old) DeleteFileW(Wide(dir + name).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
    return wide;
}

std::string Utf8(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return Utf8(path);
        }
        path.resize(path.size() * 2);  // cut short: a name longer than MAX_PATH
    }
}

ProcessId CurrentProcessId() {
    return GetCurrentProcessId();
}

unsigned SystemDefaultLanguage() {
    return GetSystemDefaultLCID();
}

unsigned UserInterfaceLanguage() {
    return GetUserDefaultUILanguage();
}

std::string UserConfigDir() {
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || *appData == L'\0') return {};
    std::string dir = Utf8(appData);
    if (!IsSeparator(dir.back())) dir += kSeparator;
    return dir + "kq7300" + kSeparator;
}

// A user's own program data lives under %LOCALAPPDATA%, read as wide text, as Windows keeps it.
std::filesystem::path UserDataDir() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local != nullptr && *local != L'\0' ? std::filesystem::path(local)
                                               : std::filesystem::path();
}

std::filesystem::path UserStateDir() {
    return UserDataDir();
}

std::vector<std::filesystem::path> SystemDataDirs() {
    return {};
}

unsigned StandardOutputColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

std::tm LocalTime(std::time_t when, long* utcOffsetSeconds) {
    std::tm local{};
    localtime_s(&local, &when);
    if (utcOffsetSeconds != nullptr) {
        std::tm copy = local;
        *utcOffsetSeconds = static_cast<long>(_mkgmtime(&copy) - when);
    }
    return local;
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string LinkTarget(const std::string& path) {
    return path;
}

// Windows' own access checks know a file's read-only mark but not who may write into a folder,
// so the question is put as a write would put it: open the file for writing (which changes
// nothing), or create a file in the folder that is gone again when closed.
bool MayWrite(const std::string& path) {
    const std::wstring name = Wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::string probe = path;
        if (!IsSeparator(probe.back())) probe += kSeparator;
        probe += ".kq7300-write-check-" + std::to_string(GetCurrentProcessId());
        const Handle file(
            CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        return static_cast<bool>(file) || GetLastError() == ERROR_FILE_EXISTS;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
    const Handle file(
        CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(file) || GetLastError() == ERROR_SHARING_VIOLATION;
}

void CreateFolders(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(Wide(path)), ignored);
}

ReadResult ReadRegularFile(const std::string& path, size_t maxSize, std::string& out) {
    out.clear();
    const std::wstring name = Wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        return ReadResult::Failed;
    }
    // Shared for writing and renaming, so that other programs may keep the file open. The name
    // of a pipe or a device opens without waiting and is refused below, before any read.
    Handle file(CreateFileW(name.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return ReadResult::Missing;
        }
        errno = ErrnoOf(error);
        return ReadResult::Failed;
    }
    const auto fail = [&](int error) {
        out.clear();
        errno = error;
        return ReadResult::Failed;
    };
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return fail(EINVAL);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return fail(ErrnoOf(GetLastError()));
    if (static_cast<unsigned long long>(size.QuadPart) > maxSize) return fail(EFBIG);
    out.reserve(static_cast<size_t>(size.QuadPart));
    char buffer[8192];
    while (true) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
            return fail(ErrnoOf(GetLastError()));
        }
        if (n == 0) break;
        out.append(buffer, n);
        if (out.size() > maxSize) return fail(EFBIG);  // it grew while being read
    }
    return ReadResult::Ok;
}

// The new file gets the folder's permissions, as any new file there; an existing file's hidden
// and system marks are kept. MoveFileExW renames within the folder's volume, which replaces the
// file in one step.
bool ReplaceContent(const std::string& path, std::string_view data) {
    const std::wstring target = Wide(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return Fail(ERROR_ACCESS_DENIED);

    const size_t slash = path.find_last_of(kSeparators);
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::wstring temp;
    Handle file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temp = Wide(dir + TempFileName(base, GetCurrentProcessId(), counter++));
        file.Reset(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS) return Fail(GetLastError());
    }
    if (!file) return Fail(ERROR_FILE_EXISTS);

    bool ok = WriteAll(file.get(), data) && FlushFileBuffers(file.get());
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!file.Close() && ok) {
        ok = false;
        error = GetLastError();
    }
    const DWORD marks = exists ? attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) : 0;
    if (ok && marks != 0) SetFileAttributesW(temp.c_str(), marks);
    if (ok && !MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(temp.c_str());
        return Fail(error);
    }
    RemoveStaleTempFiles(dir, base);
    return true;
}

}  // namespace kq::os
