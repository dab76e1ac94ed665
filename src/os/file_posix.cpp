#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "os/file.h"
#include "os/os.h"

namespace kq::os {
namespace {

bool Fail(std::error_code& ec, int error) {
    ec.assign(error, std::generic_category());
    return false;
}

// Opens without waiting (a FIFO would block until a writer comes) and keeps only regular files.
int OpenRegular(const std::filesystem::path& path, int flags, std::error_code& ec) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(ec, errno);
        return -1;
    }
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (error != 0) {
        close(fd);
        Fail(ec, error);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool WriteAll(int fd, std::string_view data, std::error_code& ec) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(ec, errno);
        if (n == 0) return Fail(ec, EIO);
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool SyncFd(int fd, std::error_code& ec) {
    while (fsync(fd) != 0) {
        if (errno != EINTR) return Fail(ec, errno);
    }
    return true;
}

}  // namespace

File::~File() {
    std::error_code ignored;
    Close(ignored);
}

File::File(File&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        std::error_code ignored;
        Close(ignored);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

File File::CreateNew(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file.fd_ < 0) Fail(ec, errno);
    return file;
}

File File::OpenForUpdate(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.fd_ = OpenRegular(path, O_RDWR | O_NOFOLLOW, ec);
    return file;
}

File File::OpenForReading(const std::filesystem::path& path, std::error_code& ec) {
    File file;
    file.fd_ = OpenRegular(path, O_RDONLY, ec);
    return file;
}

bool File::IsOpen() const {
    return fd_ >= 0;
}

bool File::Size(uint64_t& size, std::error_code& ec) const {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return Fail(ec, errno);
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool File::WriteAt(uint64_t offset, std::span<const uint8_t> bytes, std::error_code& ec) {
    while (!bytes.empty()) {
        const ssize_t n = pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(ec, errno);
        if (n == 0) return Fail(ec, EIO);
        bytes = bytes.subspan(static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool File::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& read,
                  std::error_code& ec) const {
    read = 0;
    while (read < out.size()) {
        const ssize_t n =
            pread(fd_, out.data() + read, out.size() - read, static_cast<off_t>(offset + read));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(ec, errno);
        if (n == 0) break;
        read += static_cast<size_t>(n);
    }
    return true;
}

bool File::Sync(std::error_code& ec) {
    return SyncFd(fd_, ec);
}

// close() is not repeated after EINTR: on Linux the descriptor is gone by then.
bool File::Close(std::error_code& ec) {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 && errno != EINTR) return Fail(ec, errno);
    return true;
}

bool SyncFolder(const std::filesystem::path& dir, std::error_code& ec) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(ec, errno);
    // Some file systems cannot sync a folder (EINVAL): they keep their entries otherwise.
    std::error_code error;
    const bool ok = SyncFd(fd, error) || error == std::errc::invalid_argument;
    close(fd);
    if (!ok) ec = error;
    return ok;
}

bool MayCreateFiles(const std::filesystem::path& dir, std::error_code& ec) {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path probe =
        dir / TempFileName("kq7300-write-check", getpid(), counter++);
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return Fail(ec, errno);
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool FreeSpace(const std::filesystem::path& dir, uint64_t& bytes, std::error_code& ec) {
    struct statvfs st {};
    if (statvfs(dir.c_str(), &st) != 0) return Fail(ec, errno);
    bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return true;
}

// renameat2 refuses where the file system cannot promise it; a hard link then claims the name
// just as atomically.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& ec) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return Fail(ec, errno);
    if (link(from.c_str(), to.c_str()) != 0) return Fail(ec, errno);
    unlink(from.c_str());
    return true;
}

bool AppendLine(const std::filesystem::path& file, std::string_view line, std::error_code& ec) {
    int fd = open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
        fd = open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        created = true;
    }
    if (fd < 0) return Fail(ec, errno);
    // The lock keeps the size still while the last byte is looked at: another writer's size is
    // seen growing page by page. The write itself goes to the end by O_APPEND, lock or not.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string text;
    struct stat st {};
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
        text.push_back('\n');
    }
    text.append(line);
    text.push_back('\n');
    bool ok = WriteAll(fd, text, ec) && SyncFd(fd, ec);
    if (close(fd) != 0 && ok && errno != EINTR) ok = Fail(ec, errno);
    if (ok && created) ok = SyncFolder(file.parent_path().empty() ? "." : file.parent_path(), ec);
    return ok;
}

}  // namespace kq::os
