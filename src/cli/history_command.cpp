#include "cli/history_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <set>
#include <string_view>
#include <utility>

#include "cli/ctl.h"
#include "cli/ctl_text.h"
#include "os/os.h"
#include "upgrade/history.h"

namespace kq {
namespace {

// The stored outcome in the language; one this program does not know as it stands.
std::string OutcomeText(const std::string& outcome) {
    for (const auto& [name, text] : {std::pair{"success", CtlText::OutcomeSuccess},
                                     {"failure", CtlText::OutcomeFailure},
                                     {"stopped", CtlText::OutcomeStopped},
                                     {"cancelled", CtlText::OutcomeCancelled},
                                     {"refused", CtlText::OutcomeRefused}}) {
        if (outcome == name) return Say(text);
    }
    return outcome;
}

// A failure's reason in the language; a reason with more to it (a block, a cause) as the history
// keeps it, in English.
std::string ReasonText(const std::string& reason) {
    for (int f = static_cast<int>(UpgradeFailure::NoModeAnswer);
         f <= static_cast<int>(UpgradeFailure::NotBack); ++f) {
        const auto failure = static_cast<UpgradeFailure>(f);
        if (reason == UpgradeFailureText(failure)) return SayFailure(failure);
    }
    return reason;
}

void PrintEntry(std::ostream& out, const HistoryEntry& e) {
    const std::string unknown = Say(CtlText::Unknown);
    out << Say(CtlText::HistoryRun, {e.time, OutcomeText(e.outcome), e.image,
                                     std::to_string(e.imageSize), e.imageSha256})
        << "\n  "
        << Say(CtlText::HistoryEngine,
               {e.serial.empty() ? unknown : e.serial, e.productId.empty() ? unknown : e.productId,
                e.place.empty() ? std::string() : Say(CtlText::AtPlace, {e.place})})
        << '\n';
    if (!e.reason.empty())
        out << "  " << Say(CtlText::HistoryReason, {ReasonText(e.reason)}) << '\n';
    if (!e.backup.empty()) {
        out << "  "
            << Say(e.backupResumed ? CtlText::HistoryBackupResumed : CtlText::HistoryBackup,
                   {e.backup})
            << '\n';
    }
}

int RunHistory(CtlSession& s) {
    const std::filesystem::path file = UpgradeHistoryFile();
    if (file.empty()) {
        std::string why;
        AppendHistory(file, {}, why);  // says which variables are missing
        s.err() << Say(CtlText::Error, {Say(CtlText::NoHistory, {why})}) << '\n';
        return kExitFailed;
    }
    const HistoryLog log = ReadHistory(file);
    if (!log.error.empty()) {
        s.err() << Say(CtlText::Error, {log.error}) << '\n';
        return kExitFailed;
    }
    if (log.damaged > 0) {
        s.err() << Say(CtlText::Warning, {Say(CtlText::DamagedLines,
                                              {std::to_string(log.damaged), os::Utf8Of(file)})})
                << '\n';
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
    if (shown == 0 && !s.json()) {
        s.out() << Say(CtlText::NothingRecorded, {os::Utf8Of(file)}) << '\n';
    }
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
