#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "os/os.h"

namespace kq::os {
namespace {

// The primary language id the settings layer calls kLangEnglish.
constexpr unsigned kLangEnglish = 0x09;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// Windows primary language ids of the ISO 639-1 codes a locale name may start with.
unsigned PrimaryLanguageOf(std::string_view code) {
    static constexpr std::pair<std::string_view, unsigned> kIds[] = {
        {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},
        {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C},
        {"he", 0x0D}, {"hu", 0x0E}, {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12},
        {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18},
        {"ru", 0x19}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"uk", 0x22}, {"vi", 0x2A},
    };
    for (const auto& [iso, id] : kIds) {
        if (EqualsNoCase(code, iso)) return id;
    }
    return 0x00;  // neutral: none of the above
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Removes what writes killed before their rename left behind. Such a file is stale when the
// process named in it is gone, or when it is older than any write takes: a live process may be
// writing it at this moment, while a PID taken over by another process would keep its file for
// ever without the age rule. Files of this process only go by age (another thread may be
// writing). A wrong guess (a writer in another PID namespace) can only make that write's rename
// fail; the settings file itself is always replaced whole.
void RemoveStaleTempFiles(const std::string& dir, std::string_view base) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return;
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(folder)) {
        const pid_t pid = TempFileOwner(entry->d_name, base);
        if (pid == 0) continue;
        struct stat st {};
        if (fstatat(dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
            continue;
        }
        const bool gone = pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
        if (gone || now - st.st_mtime > kStaleTempAge) unlinkat(dirfd(folder), entry->d_name, 0);
    }
    closedir(folder);
}

// $HOME, else the account's home folder: a service or a cron job may run without HOME.
std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
    const passwd* account = getpwuid(getuid());
    if (account != nullptr && account->pw_dir != nullptr && *account->pw_dir == '/') {
        return account->pw_dir;
    }
    return {};
}

// An XDG base folder: the variable when it holds an absolute path (a relative one is to be
// ignored), else the default under the home folder.
std::filesystem::path XdgDir(const char* variable, const char* underHome) {
    if (const char* dir = std::getenv(variable); dir != nullptr && *dir == '/') {
        return dir;
    }
    const std::string home = HomeDir();
    if (home.empty()) return {};
    return std::filesystem::path(home) / underHome;
}

}  // namespace

ProcessId CurrentProcessId() {
    return getpid();
}

std::string ExecutablePath() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
    path.resize(static_cast<size_t>(n));
    return path;
}

unsigned SystemDefaultLanguage() {
    // The variable the C library consults for messages: LC_ALL, then LC_MESSAGES, then LANG.
    std::string_view name;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            name = value;
            break;
        }
    }
    if (name.empty() || name == "C" || name.starts_with("C.") || name == "POSIX") {
        return kLangEnglish;
    }
    return PrimaryLanguageOf(name.substr(0, name.find_first_of("_.@-")));
}

std::string UserConfigDir() {
    const std::filesystem::path dir = XdgDir("XDG_CONFIG_HOME", ".config");
    return dir.empty() ? std::string() : (dir / "kq7300").string() + "/";
}

std::filesystem::path UserDataDir() {
    return XdgDir("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path UserStateDir() {
    return XdgDir("XDG_STATE_HOME", ".local/state");
}

std::vector<std::filesystem::path> SystemDataDirs() {
    std::vector<std::filesystem::path> dirs;
    const char* list = std::getenv("XDG_DATA_DIRS");
    std::string_view rest =
        list != nullptr && *list != '\0' ? list : "/usr/local/share/:/usr/share/";
    while (!rest.empty()) {
        const size_t colon = std::min(rest.find(':'), rest.size());
        const std::string_view entry = rest.substr(0, colon);
        rest.remove_prefix(std::min(colon + 1, rest.size()));
        if (entry.starts_with('/')) dirs.emplace_back(entry);
    }
    return dirs;
}

unsigned StandardOutputColumns() {
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::tm LocalTime(std::time_t when, long* utcOffsetSeconds) {
    std::tm local{};
    localtime_r(&when, &local);
    if (utcOffsetSeconds != nullptr) *utcOffsetSeconds = local.tm_gmtoff;
    return local;
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string LinkTarget(const std::string& path) {
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        std::string next(PATH_MAX, '\0');
        const ssize_t n = readlink(at.c_str(), next.data(), next.size());
        if (n <= 0 || static_cast<size_t>(n) >= next.size()) return at;
        next.resize(static_cast<size_t>(n));
        if (!next.starts_with('/')) {
            const size_t slash = at.rfind('/');
            if (slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        }
        // Not normalised: a ".." after a linked folder is the kernel's to resolve.
        at = std::move(next);
    }
    errno = ELOOP;
    return {};
}

bool MayWrite(const std::string& path) {
    return access(path.c_str(), W_OK) == 0;
}

void CreateFolders(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

ReadResult ReadRegularFile(const std::string& path, size_t maxSize, std::string& out) {
    out.clear();
    // Non-blocking, so that a FIFO in the file's place cannot hang the program.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    }
    const auto fail = [&](int error) {
        close(fd);
        out.clear();
        errno = error;
        return ReadResult::Failed;
    };
    struct stat st {};
    if (fstat(fd, &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<unsigned long long>(st.st_size) > maxSize) return fail(EFBIG);
    out.reserve(static_cast<size_t>(st.st_size));
    char buffer[8192];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > maxSize) return fail(EFBIG);  // it grew while being read
    }
    close(fd);
    return ReadResult::Ok;
}

// A new file gets the mode the umask gives; an existing one keeps its own.
bool ReplaceContent(const std::string& path, std::string_view data) {
    // Through a link, also one that leads nowhere yet: a rename over the link itself would put
    // a file in its place.
    const std::string target = LinkTarget(path);
    if (target.empty()) return false;
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && access(target.c_str(), W_OK) != 0) return false;  // a read-only file stays

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp =
            dir + (slash == std::string::npos ? "/" : "") + TempFileName(base, getpid(), counter++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    if (exists) fchmod(fd, st.st_mode & 07777);

    bool ok = WriteAll(fd, data) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = error;
        return false;
    }
    if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    RemoveStaleTempFiles(dir, base);
    return true;
}

}  // namespace kq::os
