#include "upgrade/backup.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace kq {

namespace fs = std::filesystem;

fs::path UpgradeBackupDirectory() {
#ifdef _WIN32
    // A user's own program data lives under %LOCALAPPDATA%; read as wide text, as Windows keeps it.
    if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local && *local) {
        return fs::path(local) / "kq7300";
    }
#else
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
        return fs::path(data) / "kq7300";
    }
    const char* home = std::getenv("HOME");
    // A service or a cron job may run without HOME; the account still has a home folder.
    if (!home || !*home) {
        const passwd* account = getpwuid(getuid());
        home = account ? account->pw_dir : nullptr;
    }
    if (home && *home) return fs::path(home) / ".local" / "share" / "kq7300";
#endif
    return {};
}

std::string BackupFileName(std::string_view productId, std::time_t when) {
    std::string id;
    for (char c : productId) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            id.push_back(c);
        }
    }
    if (id.empty()) id = "unknown";
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char date[32];
    std::strftime(date, sizeof date, "%Y%m%d-%H%M%S", &local);
    return "kq7300-backup-" + id + "-" + date + ".bin";
}

bool SaveBackup(const fs::path& dir, std::string_view productId, std::span<const uint8_t> bytes,
                fs::path& written, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    const std::string name = BackupFileName(productId, std::time(nullptr));
    fs::path target = dir / name;
    // Two upgrades within one second must not share a file.
    for (int n = 2; fs::exists(target, ec) && n < 100; ++n) {
        target = dir / (name.substr(0, name.size() - 4) + "-" + std::to_string(n) + ".bin");
    }
    const fs::path temporary = dir / ("." + target.filename().string() + ".part");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        error = "cannot write " + target.string() + ": " + ec.message();
        return false;
    }
    written = target;
    return true;
}

// A first, plain version: the whole file is written again for every block.
std::unique_ptr<FirmwareBackup> FirmwareBackup::Open(const fs::path& dir, const BackupOwner& owner,
                                                     uint32_t, std::string& error) {
    if (dir.empty()) {
        error = "no folder for it: HOME and XDG_DATA_HOME are not set";
        return nullptr;
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return nullptr;
    }
    std::unique_ptr<FirmwareBackup> backup(new FirmwareBackup);
    backup->dir_ = dir;
    backup->owner_ = owner;
    return backup;
}

FirmwareBackup::~FirmwareBackup() = default;

bool FirmwareBackup::Save(uint32_t offset, std::span<const uint8_t> bytes, std::string& error) {
    if (bytes_.size() < offset + bytes.size()) bytes_.resize(offset + bytes.size());
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + offset);
    std::error_code ec;
    if (!path_.empty()) fs::remove(path_, ec);
    fs::path written;
    if (!SaveBackup(dir_, owner_.productId.empty() ? owner_.serial : owner_.productId, bytes_,
                    written, error)) {
        return false;
    }
    path_ = written;
    return true;
}

fs::path FirmwareBackup::path() const {
    return path_;
}

bool FirmwareBackup::resumed() const {
    return false;
}

void FirmwareBackup::EndSeries() {}

}  // namespace kq
