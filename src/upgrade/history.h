#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/backup.h"

namespace kq {

// $XDG_STATE_HOME/kq7300/history.jsonl, else ~/.local/state/kq7300/history.jsonl (Windows:
// %LOCALAPPDATA%\kq7300\history.jsonl); empty when no folder can be told.
std::filesystem::path UpgradeHistoryFile();

// One upgrade run: one line of the history, a JSON object with these names.
struct HistoryEntry {
    std::string time;            // "time": local, with its offset, "2026-12-07T13:15:00+01:00"
    std::string serial;          // "serial"
    std::string productId;       // "productId": empty when unknown (the run began in the loader)
    std::string place;           // "place": InterfaceEntry::place
    std::string image;           // "image": the firmware file's name, without its folder
    uint64_t imageSize = 0;      // "imageSize"
    std::string imageSha256;     // "imageSha256": lower-case hex
    std::string outcome;         // "outcome": see RunOutcome
    std::string reason;          // "reason": empty for a success
    std::string backup;          // "backup": the backup's path (UTF-8); empty when none was made
    bool backupResumed = false;  // "backupResumed": the backup's series began in an earlier run

    friend bool operator==(const HistoryEntry&, const HistoryEntry&) = default;
};

// How a run ended, as its caller says it:
//   outcome "success"  the engine came back running the new firmware, reason empty;
//           "failure"  reason: the sentence the command line prints for it;
//           "stopped"  the user stopped it (Stop, Ctrl-C, SIGTERM), reason what stopped it;
//           "refused"  it did not start (no room for the backup, ...), reason why;
//           "cancelled" the user declined when asked to go on: nothing was written.
// The words are the history's: kq7300ctl history and the window show them.
struct RunOutcome {
    std::string outcome;
    std::string reason;
};

// The entry for a run: the image's name, size and SHA-256 from its path and bytes, the backup
// from the run's FirmwareBackup (nullptr when there was none), the time from when.
HistoryEntry MakeHistoryEntry(const BackupOwner& engine, const std::filesystem::path& image,
                              std::span<const uint8_t> imageBytes, const RunOutcome& outcome,
                              const FirmwareBackup* backup, std::time_t when = std::time(nullptr));
// The same for a caller that has the backup as the run's result tells it (UpgradeResult's
// backupPath and backupResumed): an empty path when none was made.
HistoryEntry MakeHistoryEntry(const BackupOwner& engine, const std::filesystem::path& image,
                              std::span<const uint8_t> imageBytes, const RunOutcome& outcome,
                              const std::filesystem::path& backup, bool backupResumed,
                              std::time_t when = std::time(nullptr));

// "2026-12-07T13:15:00+01:00" for that moment in the local time zone.
std::string LocalIsoTime(std::time_t when);

// The entry as its line (no newline), and back; nullopt for a line that is not an entry.
std::string HistoryLine(const HistoryEntry& entry);
std::optional<HistoryEntry> ParseHistoryLine(std::string_view line);

// Appends the entry to file (its folder made as needed) as one line, in one write at the end, on
// the disk when it returns. false, with error saying why, when it could not be written.
bool AppendHistory(const std::filesystem::path& file, const HistoryEntry& entry,
                   std::string& error);

struct HistoryLog {
    std::vector<HistoryEntry> entries;  // in the order of the file: oldest first
    size_t damaged = 0;                 // lines left out: cut, not JSON, not an entry
    std::string error;                  // why the file could not be read; empty also when none
};
// Every entry of file; a file that does not exist yet is an empty history.
HistoryLog ReadHistory(const std::filesystem::path& file);

// The last run of that engine: the same product id where both know it, else the same serial
// and place. nullptr when there is none.
const HistoryEntry* LastUpgradeOf(const std::vector<HistoryEntry>& entries,
                                  const BackupOwner& engine);

}  // namespace kq
