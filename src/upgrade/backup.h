#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "os/file.h"

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

// "kq7300-backup-0002a0000000-0A1B2C3D4E5F-20261207-131500.bin": the serial and the product id
// as far as they are known (letters and digits only), "unknown" only when neither is.
std::string BackupFileName(const BackupOwner& owner, std::time_t when);

// A range of image offsets, [begin, end).
struct ByteRange {
    uint32_t begin = 0;
    uint32_t end = 0;
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// What an engine held before an upgrade series replaced it: one file, an image in the format the
// upgrade takes (zeros below the protected area, then the engine's bytes at their offsets), that
// grows as the upgrade goes. The bytes a block will replace are in the file, on the disk, before
// the block is sent, so no way of ending the process loses them. A series is the runs of one
// engine up to its first successful upgrade: a run after a stopped or failed one keeps the bytes
// the earlier run saved (what the engine held before the series) and adds only the others.
//
// Callers save every block they read back from the protected area's end on, in order, also the
// blocks that are not rewritten: the file is an image, and a range left out would read as zeros
// and be written back as zeros by a restore. The file then holds, after each Save, the engine's
// old bytes from the protected area's end up to the end of the last block saved; an upgrade with
// it puts them back.
//
// Beside the file, a hidden record ".NAME.series" (JSON lines) names the engine and the ranges
// saved; a range is recorded only once its bytes are on the disk, so a run that was killed at any
// moment leaves a record that never claims a byte the file does not hold. EndSeries removes it.
class FirmwareBackup {
  public:
    // The calls the checks and the names use; tests replace them.
    struct System {
        std::function<bool(const std::filesystem::path&, uint64_t&, std::error_code&)> freeSpace;
        std::function<std::time_t()> now;
    };
    // The system's own: os::FreeSpace and std::time.
    static System RealSystem();

    // Checks that dir can take a backup of imageLength bytes (it exists or can be made, may be
    // written, has the room) and finds the open series of this engine there, or prepares a new
    // one; no file is made yet. nullptr, with error saying why, when the place cannot take it.
    //
    // The open series of an engine: the one of the same serial and place, and of the same
    // product id where both know it. An engine of which neither serial nor place is known
    // always starts a new series.
    static std::unique_ptr<FirmwareBackup> Open(const std::filesystem::path& dir,
                                                const BackupOwner& owner, uint32_t imageLength,
                                                std::string& error);
    static std::unique_ptr<FirmwareBackup> Open(const std::filesystem::path& dir,
                                                const BackupOwner& owner, uint32_t imageLength,
                                                std::string& error, const System& system);
    ~FirmwareBackup();
    FirmwareBackup(const FirmwareBackup&) = delete;
    FirmwareBackup& operator=(const FirmwareBackup&) = delete;

    // Puts bytes (what the engine holds at [offset, offset + size), which the next write
    // replaces) into the file at their offset and onto the disk before it returns; bytes an
    // earlier run of the series saved there are kept as they are. false, with error, when they
    // could not be saved: the block must not be written then. The first Save that has bytes to
    // write makes the file, under a name no other file has.
    bool Save(uint32_t offset, std::span<const uint8_t> bytes, std::string& error);
    // The file, once it holds any byte (this run's or an earlier one's); empty before.
    std::filesystem::path path() const;
    // Whether the series began in an earlier run.
    bool resumed() const;
    // The ranges the file holds, this run's and the earlier runs', in order and apart.
    const std::vector<ByteRange>& saved() const { return saved_; }
    // The upgrade succeeded: the series is over and the next upgrade starts a new one. The file
    // stays. false, with error, when the record could not be closed (the next upgrade of this
    // engine would then resume this series).
    bool EndSeries(std::string& error);
    void EndSeries();

  private:
    FirmwareBackup() = default;
    bool Create(std::string& error);
    bool Record(const std::vector<ByteRange>& ranges, std::string& error);

    std::filesystem::path dir_;
    BackupOwner owner_;
    uint32_t imageLength_ = 0;
    System system_;
    std::filesystem::path path_;
    std::filesystem::path recordPath_;
    std::vector<ByteRange> saved_;
    os::File image_;
    bool resumed_ = false;
    bool ended_ = false;
};

}  // namespace kq
