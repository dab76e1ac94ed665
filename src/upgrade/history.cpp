#include "upgrade/history.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "os/file.h"
#include "os/os.h"
#include "os/sha256.h"

namespace kq {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// About 150,000 runs: far more than an engine sees; a larger file is not a history of ours.
constexpr size_t kMaxHistorySize = 64u << 20;

}  // namespace

fs::path UpgradeHistoryFile() {
    const fs::path state = os::UserStateDir();
    return state.empty() ? fs::path() : state / "kq7300" / "history.jsonl";
}

std::string LocalIsoTime(std::time_t when) {
    long offset = 0;
    const std::tm local = os::LocalTime(when, &offset);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long minutes = std::labs(offset) / 60;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60 % 100,
                  minutes % 60);
    return std::string(text) + zone;
}

HistoryEntry MakeHistoryEntry(const BackupOwner& engine, const fs::path& image,
                              std::span<const uint8_t> imageBytes, const RunOutcome& outcome,
                              const FirmwareBackup* backup, std::time_t when) {
    return backup != nullptr
               ? MakeHistoryEntry(engine, image, imageBytes, outcome, backup->path(),
                                  backup->resumed(), when)
               : MakeHistoryEntry(engine, image, imageBytes, outcome, fs::path(), false, when);
}

HistoryEntry MakeHistoryEntry(const BackupOwner& engine, const fs::path& image,
                              std::span<const uint8_t> imageBytes, const RunOutcome& outcome,
                              const fs::path& backup, bool backupResumed, std::time_t when) {
    HistoryEntry entry;
    entry.time = LocalIsoTime(when);
    entry.serial = engine.serial;
    entry.productId = engine.productId;
    entry.place = engine.place;
    entry.image = os::Utf8Of(image.filename());
    entry.imageSize = imageBytes.size();
    entry.imageSha256 = os::Sha256Hex(imageBytes);
    entry.outcome = outcome.outcome;
    entry.reason = outcome.reason;
    entry.backup = os::Utf8Of(backup);
    entry.backupResumed = !backup.empty() && backupResumed;
    return entry;
}

// Written in the order a person reads it.
std::string HistoryLine(const HistoryEntry& e) {
    const nlohmann::ordered_json line = {{"time", e.time},
                                         {"serial", e.serial},
                                         {"productId", e.productId},
                                         {"place", e.place},
                                         {"image", e.image},
                                         {"imageSize", e.imageSize},
                                         {"imageSha256", e.imageSha256},
                                         {"outcome", e.outcome},
                                         {"reason", e.reason},
                                         {"backup", e.backup},
                                         {"backupResumed", e.backupResumed}};
    // A name that is not UTF-8 (a file named on another system) still makes a valid line.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Every field must be there with its type: a line that lacks one is not an entry of ours.
std::optional<HistoryEntry> ParseHistoryLine(std::string_view text) {
    const json line = json::parse(text, nullptr, false);
    if (!line.is_object()) return std::nullopt;
    HistoryEntry e;
    const auto string = [&](const char* key, std::string& out) {
        const auto it = line.find(key);
        if (it == line.end() || !it->is_string()) return false;
        out = it->get<std::string>();
        return true;
    };
    const auto size = line.find("imageSize");
    const auto resumed = line.find("backupResumed");
    if (!string("time", e.time) || !string("serial", e.serial) ||
        !string("productId", e.productId) || !string("place", e.place) ||
        !string("image", e.image) || !string("imageSha256", e.imageSha256) ||
        !string("outcome", e.outcome) || !string("reason", e.reason) ||
        !string("backup", e.backup) || size == line.end() || !size->is_number_unsigned() ||
        resumed == line.end() || !resumed->is_boolean()) {
        return std::nullopt;
    }
    e.imageSize = size->get<uint64_t>();
    e.backupResumed = resumed->get<bool>();
    return e;
}

bool AppendHistory(const fs::path& file, const HistoryEntry& entry, std::string& error) {
    if (file.empty()) {
#ifdef _WIN32
        error = "no folder for the upgrade history: LOCALAPPDATA is not set";
#else
        error = "no folder for the upgrade history: neither XDG_STATE_HOME nor HOME is set";
#endif
        return false;
    }
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
        error = "cannot create the folder " + os::Utf8Of(file.parent_path()) + ": " + ec.message();
        return false;
    }
    if (!os::AppendLine(file, HistoryLine(entry), ec)) {
        error = "cannot write " + os::Utf8Of(file) + ": " + ec.message();
        return false;
    }
    return true;
}

HistoryLog ReadHistory(const fs::path& file) {
    HistoryLog log;
    std::string bytes;
    switch (os::ReadRegularFile(os::Utf8Of(file), kMaxHistorySize, bytes)) {
        case os::ReadResult::Missing:
            return log;
        case os::ReadResult::Failed: {
            const int error = errno;
            log.error =
                "cannot read " + os::Utf8Of(file) + ": " + std::generic_category().message(error);
            return log;
        }
        case os::ReadResult::Ok:
            break;
    }
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        if (std::optional<HistoryEntry> entry = ParseHistoryLine(line)) {
            log.entries.push_back(std::move(*entry));
        } else {
            ++log.damaged;
        }
    }
    return log;
}

const HistoryEntry* LastUpgradeOf(const std::vector<HistoryEntry>& entries,
                                  const BackupOwner& engine) {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (!engine.productId.empty() && !it->productId.empty()) {
            if (it->productId == engine.productId) return &*it;
        } else if ((!engine.serial.empty() || !engine.place.empty()) &&
                   it->serial == engine.serial && it->place == engine.place) {
            return &*it;
        }
    }
    return nullptr;
}

}  // namespace kq
