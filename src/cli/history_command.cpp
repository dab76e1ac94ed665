#include "cli/history_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <set>
#include <string_view>

#include "cli/ctl.h"
#include "os/os.h"
#include "upgrade/history.h"

namespace kq {
namespace {

// Everything history says, in one place.
namespace say {
constexpr const char* kNoFile = "error: no upgrade history: ";
constexpr const char* kNothing = "no upgrade recorded in ";
constexpr const char* kDamagedA = "warning: ";
constexpr const char* kDamagedB = " damaged lines of ";
constexpr const char* kDamagedC = " were left out";
constexpr const char* kBytes = " bytes  SHA-256 ";
constexpr const char* kEngine = "  engine: serial ";
constexpr const char* kProductId = ", product id ";
constexpr const char* kAt = ", at ";
constexpr const char* kUnknown = "unknown";
constexpr const char* kReason = "  reason: ";
constexpr const char* kBackup = "  backup: ";
constexpr const char* kResumed = " (it continues an earlier run's backup)";
}  // namespace say

std::string_view OrUnknown(const std::string& text) {
    return text.empty() ? std::string_view(say::kUnknown) : std::string_view(text);
}

void PrintEntry(std::ostream& out, const HistoryEntry& e) {
    out << e.time << "  " << e.outcome << "  " << e.image << "  " << e.imageSize << say::kBytes
        << e.imageSha256 << '\n'
        << say::kEngine << OrUnknown(e.serial) << say::kProductId << OrUnknown(e.productId);
    if (!e.place.empty()) out << say::kAt << e.place;
    out << '\n';
    if (!e.reason.empty()) out << say::kReason << e.reason << '\n';
    if (!e.backup.empty()) {
        out << say::kBackup << e.backup << (e.backupResumed ? say::kResumed : "") << '\n';
    }
}

int RunHistory(CtlSession& s) {
    const std::filesystem::path file = UpgradeHistoryFile();
    if (file.empty()) {
        std::string why;
        AppendHistory(file, {}, why);  // says which variables are missing
        s.err() << say::kNoFile << why << '\n';
        return kExitFailed;
    }
    const HistoryLog log = ReadHistory(file);
    if (!log.error.empty()) {
        s.err() << "error: " << log.error << '\n';
        return kExitFailed;
    }
    if (log.damaged > 0) {
        s.err() << say::kDamagedA << log.damaged << say::kDamagedB << os::Utf8Of(file)
                << say::kDamagedC << '\n';
    }
    const DeviceFilter& filter = s.options().filter;
    // An interface path names an engine present now; its place is what the history keeps.
    std::set<std::string> places;
    if (!filter.path.empty()) {
        for (const InterfaceEntry& engine : s.PresentEngines()) places.insert(engine.place);
    }
    const auto chosen = [&](const HistoryEntry& e) {
        return (filter.serial.empty() || e.serial == filter.serial) &&
               (filter.place.empty() || e.place == filter.place) &&
               (filter.path.empty() || places.count(e.place) > 0);
    };
    size_t shown = 0;
    for (const HistoryEntry& entry : log.entries) {
        if (!chosen(entry)) continue;
        ++shown;
        if (s.json()) {
            s.out() << HistoryLine(entry) << '\n';
        } else {
            PrintEntry(s.out(), entry);
        }
    }
    if (shown == 0 && !s.json()) s.out() << say::kNothing << os::Utf8Of(file) << '\n';
    return kExitOk;
}

}  // namespace

void AddHistoryCommand(CLI::App& app, CtlCommand& chosen) {
    AddCommand(app, chosen, "history",
               "Print the upgrades run, oldest first (with --serial or --path, that engine's); "
               "--json: each as its stored line",
               RunHistory);
}

}  // namespace kq
