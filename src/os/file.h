#pragma once

// Files written so that what a call reported as written survives a kill or a power loss. Every
// failure comes back as an error code of the generic category (an errno value, also on Windows)
// taken at the failing call, so that a later call cannot change the reason.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>

namespace kq::os {

class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // A new file for reading and writing, never one that exists already (EEXIST then, whatever
    // it is: a file, a folder, a link). Mode 0666 less the umask.
    static File CreateNew(const std::filesystem::path& path, std::error_code& ec);
    // An existing regular file for reading and writing. A link in its place is refused (ELOOP)
    // as anything but a regular file is (EISDIR for a folder, EINVAL otherwise).
    static File OpenForUpdate(const std::filesystem::path& path, std::error_code& ec);
    // An existing regular file for reading, opened without waiting for a writer when a FIFO or
    // a pipe has the name; refused as above, links followed.
    static File OpenForReading(const std::filesystem::path& path, std::error_code& ec);

    explicit operator bool() const { return IsOpen(); }
    bool IsOpen() const;

    bool Size(uint64_t& size, std::error_code& ec) const;
    // All of bytes at offset, or false.
    bool WriteAt(uint64_t offset, std::span<const uint8_t> bytes, std::error_code& ec);
    // Up to out.size() bytes from offset; read is less at the end of the file.
    bool ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& read, std::error_code& ec) const;
    // What was written is on the disk when this returns (fsync, FlushFileBuffers).
    bool Sync(std::error_code& ec);
    // false when the system reports a write it could not finish.
    bool Close(std::error_code& ec);

  private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(-1);  // INVALID_HANDLE_VALUE
#else
    int fd_ = -1;
#endif
};

// Puts the folder's entries (a file created, renamed or removed in it) on the disk: fsync of the
// folder on POSIX systems; Windows' file systems keep their folders' entries themselves.
bool SyncFolder(const std::filesystem::path& dir, std::error_code& ec);

// Whether this user can create files in dir, tried by making one under a name of its own that
// is removed again; ec says why not.
bool MayCreateFiles(const std::filesystem::path& dir, std::error_code& ec);

// Bytes this user may still write on the file system that holds dir.
bool FreeSpace(const std::filesystem::path& dir, uint64_t& bytes, std::error_code& ec);

// Renames from to to, never over anything that has the name to (EEXIST then).
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& ec);

// Appends line and a newline to file (created as needed, in an existing folder) in one write
// at its end, so the lines of processes appending at once never mix, and puts it on the disk
// before returning. After a line an earlier crash left cut, the new line still starts a line
// of its own.
bool AppendLine(const std::filesystem::path& file, std::string_view line, std::error_code& ec);

}  // namespace kq::os
