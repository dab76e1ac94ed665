#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace kq {

// $XDG_DATA_HOME/kq7300, else ~/.local/share/kq7300 (Windows: %LOCALAPPDATA%\kq7300); empty when
// neither can be told.
std::filesystem::path UpgradeBackupDirectory();

// "kq7300-backup-0A1B2C3D4E5F-20261207-131500.bin" for the product id "0A-1B-2C-3D-4E-5F" at
// that local time; "unknown" stands in for an empty id.
std::string BackupFileName(std::string_view productId, std::time_t when);

// Writes bytes as a new backup file in dir (created as needed), never over an existing file and
// never leaving a half-written one under the final name. On failure, error says why.
bool SaveBackup(const std::filesystem::path& dir, std::string_view productId,
                std::span<const uint8_t> bytes, std::filesystem::path& written, std::string& error);

}  // namespace kq
