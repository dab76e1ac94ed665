#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "os/file.h"
#include "os/os.h"
#include "os/win32_support.h"

namespace kq::os {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Fail(std::error_code& ec, DWORD error) {
    ec.assign(win32::ErrnoOf(error), std::generic_category());
    return false;
}

HANDLE AsHandle(void* handle) {
    return static_cast<HANDLE>(handle);
}

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// Only files on a disk: a pipe's or a device's name opens at once but holds no file. A link is
// opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) where it must be refused.
HANDLE OpenRegular(const std::filesystem::path& path, DWORD access, DWORD flags,
                   std::error_code& ec) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ec.assign(EISDIR, std::generic_category());
        return INVALID_HANDLE_VALUE;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ec.assign(ELOOP, std::generic_category());
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(ec, GetLastError());
        return handle;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        ec.assign(EINVAL, std::generic_category());
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool WriteAllAt(HANDLE file, uint64_t offset, std::span<const uint8_t> bytes, std::error_code& ec) {
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        OVERLAPPED where = At(offset);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, &where)) {
            return Fail(ec, GetLastError());
        }
        if (written == 0) return Fail(ec, ERROR_WRITE_FAULT);
        bytes = bytes.subspan(written);
        offset += written;
    }
    return true;
}

}  // namespace

File::~File() {
    std::error_code ignored;
    Close(ignored);
}

File::File(File&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        std::error_code ignored;
        Close(ignored);
        handle_ = other.handle_;
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}

File File::CreateNew(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file.IsOpen()) Fail(ec, GetLastError());
    return file;
}

File File::OpenForUpdate(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.handle_ =
        OpenRegular(path, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OPEN_REPARSE_POINT, ec);
    return file;
}

File File::OpenForReading(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.handle_ = OpenRegular(path, GENERIC_READ, 0, ec);
    return file;
}

bool File::IsOpen() const {
    return AsHandle(handle_) != INVALID_HANDLE_VALUE;
}

bool File::Size(uint64_t& size, std::error_code& ec) const {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(AsHandle(handle_), &value)) return Fail(ec, GetLastError());
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool File::WriteAt(uint64_t offset, std::span<const uint8_t> bytes, std::error_code& ec) {
    return WriteAllAt(AsHandle(handle_), offset, bytes, ec);
}

bool File::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& read,
                  std::error_code& ec) const {
    read = 0;
    while (read < out.size()) {
        const auto chunk = static_cast<DWORD>(std::min<size_t>(out.size() - read, 1u << 20));
        OVERLAPPED where = At(offset + read);
        DWORD n = 0;
        if (!ReadFile(AsHandle(handle_), out.data() + read, chunk, &n, &where)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return Fail(ec, GetLastError());
        }
        if (n == 0) break;
        read += n;
    }
    return true;
}

bool File::Sync(std::error_code& ec) {
    return FlushFileBuffers(AsHandle(handle_)) || Fail(ec, GetLastError());
}

bool File::Close(std::error_code& ec) {
    if (!IsOpen()) return true;
    const HANDLE handle = AsHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) || Fail(ec, GetLastError());
}

// NTFS journals its folders' entries; a folder handle cannot be flushed by an ordinary user.
bool SyncFolder(const std::filesystem::path& dir, std::error_code& ec) {
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(ec, GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Fail(ec, ERROR_DIRECTORY);
    return true;
}

bool MayCreateFiles(const std::filesystem::path& dir, std::error_code& ec) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path probe =
        dir / TempFileName("kq7300-write-check", GetCurrentProcessId(), counter++);
    const win32::Handle file(
        CreateFileW(probe.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return static_cast<bool>(file) || Fail(ec, GetLastError());
}

bool FreeSpace(const std::filesystem::path& dir, uint64_t& bytes, std::error_code& ec) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) {
        return Fail(ec, GetLastError());
    }
    bytes = available.QuadPart;
    return true;
}

bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& ec) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ||
           Fail(ec, GetLastError());
}

// A handle with append access but no write access writes at the end only, as one step, also
// when other processes append at the same time.
bool AppendLine(const std::filesystem::path& file, std::string_view line, std::error_code& ec) {
    const win32::Handle handle(CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                           kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));
    if (!handle) return Fail(ec, GetLastError());
    // Windows' locks bind readers too: one byte far past any line keeps the appenders in turn
    // and lets readers be. The lock goes with the handle.
    OVERLAPPED lockAt = At(uint64_t{0xFFFFFFFF} << 32);
    LockFileEx(handle.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt);
    std::string text;
    LARGE_INTEGER size{};
    char last = '\n';
    DWORD n = 0;
    OVERLAPPED where = At(0);
    if (GetFileSizeEx(handle.get(), &size) && size.QuadPart > 0) {
        where = At(static_cast<uint64_t>(size.QuadPart) - 1);
        if (ReadFile(handle.get(), &last, 1, &n, &where) && n == 1 && last != '\n') {
            text.push_back('\n');
        }
    }
    text.append(line);
    text.push_back('\n');
    DWORD written = 0;
    if (!WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return Fail(ec, GetLastError());
    }
    if (written != text.size()) return Fail(ec, ERROR_HANDLE_DISK_FULL);
    return FlushFileBuffers(handle.get()) || Fail(ec, GetLastError());
}

}  // namespace kq::os
