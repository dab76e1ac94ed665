#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The engine a backup belongs to, as far as it is known.
struct BackupOwner {
    std::string serial;     // the USB serial (the interface path's instance)
    std::string productId;  // "0A-1B-2C-3D-4E-5F"; empty when it could not be read (the loader)
    std::string place;      // InterfaceEntry::place
};

// What an engine held before an upgrade series replaced it: one file, an image in the format the
// upgrade takes (zeros below the protected area, then the engine's bytes at their offsets), that
// grows as the upgrade goes. The bytes a block will replace are in the file, on the disk, before
// the block is sent, so no way of ending the process loses them. A series is the runs of one
// engine up to its first successful upgrade: a run after a stopped or failed one keeps the bytes
// the earlier run saved (what the engine held before the series) and adds only the others.
class FirmwareBackup {
  public:
    // Checks that dir can take a backup of imageLength bytes (it exists or can be made, may be
    // written, has the room) and finds the open series of this engine there, or prepares a new
    // one; no file is made yet. nullptr, with error saying why, when the place cannot take it.
    static std::unique_ptr<FirmwareBackup> Open(const std::filesystem::path& dir,
                                                const BackupOwner& owner, uint32_t imageLength,
                                                std::string& error);
    ~FirmwareBackup();

    // Puts bytes (what the engine holds at [offset, offset + size), which the next write
    // replaces) into the file at their offset and onto the disk before it returns; bytes an
    // earlier run of the series saved there are kept as they are. false, with error, when they
    // could not be saved: the block must not be written then.
    bool Save(uint32_t offset, std::span<const uint8_t> bytes, std::string& error);
    // The file, once it holds any byte (this run's or an earlier one's); empty before.
    std::filesystem::path path() const;
    // Whether the series began in an earlier run.
    bool resumed() const;
    // The upgrade succeeded: the series is over and the next upgrade starts a new one. The file
    // stays.
    void EndSeries();

  private:
    FirmwareBackup() = default;
    std::filesystem::path dir_;
    BackupOwner owner_;
    std::filesystem::path path_;
    std::vector<uint8_t> bytes_;
};

}  // namespace kq
