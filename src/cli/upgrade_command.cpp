#include "cli/upgrade_command.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string_view>

#include "cli/ctl.h"
#include "cli/ctl_text.h"
#include "cli/empty_values.h"
#include "cli/json.h"
#include "cli/upgrade_interrupt.h"
#include "cli/upgrade_progress.h"
#include "devlink/commands.h"
#include "devlink/link.h"
#include "l10n/text.h"
#include "os/sha256.h"
#include "upgrade/backup.h"
#include "upgrade/history.h"
#include "upgrade/image_files.h"
#include "upgrade/upgrade.h"

namespace kq {
namespace {

// The reasons the upgrade history keeps, which are the same in every language (as --json).
namespace history {
constexpr const char* kDeclined = "declined when asked";
constexpr const char* kTerminatedWhenAsked = "SIGTERM when asked";
constexpr const char* kStopped = "stopped %1";
constexpr const char* kEndedAtOnce = "ended at once by a second Ctrl-C or SIGTERM: %1";
}  // namespace history

std::string_view English(CtlText text) {
    return CtlTextEntryOf(text).english;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string Duration(uint64_t ms) {
    const uint64_t s = (ms + 999) / 1000;
    if (s >= 3600) {
        return Say(CtlText::Hours, {std::to_string(s / 3600), std::to_string(s / 60 % 60)});
    }
    if (s >= 60) return Say(CtlText::Minutes, {std::to_string(s / 60), std::to_string(s % 60)});
    return Say(CtlText::Seconds, {std::to_string(s)});
}

#ifdef _WIN32
// A console; not a file, a pipe or the NUL device, which _isatty takes for a terminal too.
bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}
bool StandardOutputIsTerminal() {
    return IsConsole(STD_OUTPUT_HANDLE);
}
bool StandardInputIsTerminal() {
    return IsConsole(STD_INPUT_HANDLE);
}

// The line typed; false when the input ended or a stop was asked meanwhile.
bool ReadAnswer(std::string& line, const std::atomic<bool>& stop) {
    return static_cast<bool>(std::getline(std::cin, line)) && !stop;
}
#else
bool StandardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}
bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

// Byte by byte from the descriptor, so nothing past the line is taken and Ctrl-C (which
// interrupts the read) is seen.
bool ReadAnswer(std::string& line, const std::atomic<bool>& stop) {
    char c = 0;
    while (true) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            if (c == '\n') return !stop;
            line += c;
        } else if (n == 0 || errno != EINTR || stop) {
            return false;
        }
    }
}
#endif

bool IsYes(std::string answer) {
    std::erase_if(answer, [](unsigned char c) { return std::isspace(c) != 0; });
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

struct UpgradeRequest {
    std::string firmware;
    std::string loader;  // empty: the loader beside the program
    bool yes = false;
};

// Usage errors, told before any engine is looked for: kExitOk when both images were read.
int LoadImages(const UpgradeRequest& request, UpgradeImages& images, std::string& loaderPath,
               std::ostream& err) {
    const auto loaders = request.loader.empty()
                             ? LoaderCandidates(ProgramDirectory())
                             : std::vector<std::filesystem::path>{PathFromUtf8(request.loader)};
    const ImageLoadResult loaded = LoadUpgradeImages(request.firmware, loaders, images);
    switch (loaded.check) {
        case ImageCheck::Ok:
            loaderPath = loaded.path;
            return kExitOk;
        case ImageCheck::NoFileName:
            err << Say(CtlText::Error, {Say(CtlText::NoFileName)}) << '\n';
            return kExitUsage;
        case ImageCheck::LoaderUnreadable:
            if (request.loader.empty()) {
                const auto folders = LoaderFolders(ProgramDirectory());
                std::string places;
                for (size_t i = 0; i < folders.size(); ++i) {
                    const std::string folder = os::Utf8Of(folders[i]);
                    places = i == 0                    ? folder
                             : i + 1 == folders.size() ? Say(CtlText::JoinOr, {places, folder})
                                                       : Say(CtlText::JoinComma, {places, folder});
                }
                err << Say(CtlText::Error, {Say(CtlText::NoLoader, {places})}) << '\n';
                return kExitUsage;
            }
            [[fallthrough]];
        case ImageCheck::FirmwareUnreadable:
            err << Say(CtlText::Error, {Say(CtlText::CannotRead, {loaded.path})}) << '\n';
            return kExitUsage;
        case ImageCheck::FirmwareSize:
            err << Say(CtlText::Error,
                       {Say(CtlText::FirmwareSize, {loaded.path, std::to_string(loaded.size),
                                                    std::to_string(kMaxFirmwareLength)})})
                << '\n';
            return kExitUsage;
        case ImageCheck::LoaderSize:
            err << Say(CtlText::Error,
                       {Say(CtlText::LoaderSize, {loaded.path, std::to_string(loaded.size),
                                                  std::to_string(kMaxLoaderLength)})})
                << '\n';
            return kExitUsage;
    }
    return kExitUsage;
}

int FailureExitCode(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::EngineBusy:
            return kExitBusy;
        case UpgradeFailure::StayedInLoader:
            return kExitStayedInLoader;
        case UpgradeFailure::UnexpectedMode:
            return kExitUnexpectedMode;
        case UpgradeFailure::NotBack:
            return kExitNotBack;
        case UpgradeFailure::OtherEngine:
            return kExitOtherEngine;
        case UpgradeFailure::BackupUnavailable:
            return kExitNoBackup;
        case UpgradeFailure::BackupNotSaved:
            return kExitBackupFailed;
        default:
            return kExitFailed;
    }
}

std::optional<CtlText> FailureAdvice(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::StayedInLoader:
            return CtlText::AdviceStayedInLoader;
        case UpgradeFailure::UnexpectedMode:
            return CtlText::AdviceUnexpectedMode;
        case UpgradeFailure::NotBack:
            return CtlText::AdviceNotBack;
        case UpgradeFailure::OtherEngine:
            return CtlText::AdviceOtherEngine;
        case UpgradeFailure::EngineBusy:
            return CtlText::AdviceBusy;
        default:
            return std::nullopt;
    }
}

CtlText WhereLeft(UpgradeStage stage) {
    switch (stage) {
        case UpgradeStage::Asking:
        case UpgradeStage::NothingWritten:
            return CtlText::LeftNothing;
        case UpgradeStage::StillInApplication:
            return CtlText::LeftApplication;
        case UpgradeStage::InLoader:
            return CtlText::LeftLoader;
        case UpgradeStage::Finishing:
            return CtlText::LeftFinished;
    }
    return CtlText::LeftNothing;
}

CtlText StopCauseText(StopCause cause) {
    switch (cause) {
        case StopCause::Terminate:
            return CtlText::BySigterm;
        case StopCause::Close:
            return CtlText::ByClose;
        default:
            return CtlText::ByCtrlC;
    }
}

// One run of upgrade against the engine found: the question, the progress, the signals, the
// messages, the history line and the exit code.
class UpgradeRun {
  public:
    UpgradeRun(CtlSession& s, const UpgradeRequest& request, const UpgradeImages& images,
               std::string loaderPath)
        : s_(s),
          request_(request),
          images_(images),
          loaderPath_(std::move(loaderPath)),
          historyFile_(UpgradeHistoryFile()) {}

    int Go() {
        const bool json = s_.json();
        progress_ = json ? MakeJsonProgress(s_.out())
                         : MakeTextProgress(s_.out(),
                                            &s_.out() == &std::cout && StandardOutputIsTerminal());
        ask_ = !request_.yes && StandardInputIsTerminal();
        UpgradeInterrupts interrupts(stop_);
        interrupts_ = &interrupts;
        // The product id names the backup; it is the one request before the upgrade's own, so
        // the upgrade's frames keep their numbers on the wire.
        uint8_t id[8];
        engine_ = {s_.link().deviceSerial(), "", s_.link().devicePlace()};
        if (CommandSet(s_.link()).GetProductId(id)) engine_.productId = FormatProductId(id);
        // The folder is made now: a process ended at once only appends.
        if (!historyFile_.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(historyFile_.parent_path(), ec);
        }
        Prepare();
        UpgradeJob job{.link = s_.link(),
                       .sleeper = s_.link().sleeper(),
                       .firmware = images_.firmware,
                       .loader = images_.loader,
                       .m_bStopRequested = stop_,
                       .callbacks = {.progress = [this](int p) { progress_->Position(p); },
                                     .controls = nullptr,
                                     .phase = [this](UpgradePhase p) { Phase(p); },
                                     .attempt = [this](UpgradePhase p, int n,
                                                       int of) { progress_->Attempt(p, n, of); },
                                     .block = [this](UpgradePhase p, uint32_t offset,
                                                     uint32_t) { progress_->Block(p, offset); },
                                     .backup =
                                         [this](const std::filesystem::path& file, bool resumed) {
                                             backup_ = file;
                                             resumed_ = resumed;
                                             interrupts_->Backup(file, resumed);
                                             Prepare();
                                         }},
                       .backupDir = UpgradeBackupDirectory(),
                       .productId = engine_.productId,
                       .confirm = [this](const UpgradePlan& plan) { return Confirm(plan); }};
        const UpgradeResult result = UpgradeThreadProc(job);
        progress_->Finish();
        const int code = Report(result, interrupts.cause());
        Record(result);
        interrupts.PrepareHistory(historyFile_, "");
        s_.out().flush();
        return code;
    }

  private:
    void Phase(UpgradePhase phase) {
        switch (phase) {
            case UpgradePhase::Loader:
                interrupts_->Stage(UpgradeStage::StillInApplication);
                break;
            case UpgradePhase::WaitingForLoader:
            case UpgradePhase::Firmware:
                interrupts_->Stage(UpgradeStage::InLoader);
                break;
            case UpgradePhase::Finishing:
            case UpgradePhase::Checking:
                interrupts_->Stage(UpgradeStage::Finishing);
                break;
        }
        Prepare();
        progress_->Phase(phase);
    }

    // The engine, the file, the loader phase and the time, then the question where there is a
    // terminal to answer it. A long upgrade is said also when nobody is asked.
    bool Confirm(const UpgradePlan& plan) {
        std::ostream& err = s_.err();
        const bool longRun = plan.estimateMs > kLongUpgradeMs;
        const std::string blockSize = std::to_string(plan.blockSize);
        if (ask_) {
            const std::string place = plan.place.empty() ? "" : Say(CtlText::AtPlace, {plan.place});
            err << Say(CtlText::PlanTitle) << '\n'
                << "  "
                << Say(CtlText::PlanEngine,
                       {plan.serial.empty() ? Say(CtlText::Unknown) : plan.serial,
                        plan.productId.empty() ? Say(CtlText::UnknownProductId) : plan.productId,
                        place})
                << '\n'
                << "  "
                << Say(CtlText::PlanFirmware,
                       {os::Utf8Of(PathFromUtf8(request_.firmware).filename()),
                        std::to_string(images_.firmware.size()), os::Sha256Hex(images_.firmware)})
                << '\n'
                << "  ";
            if (plan.loaderPhase) {
                err << Say(CtlText::PlanLoader, {os::Utf8Of(PathFromUtf8(loaderPath_).filename()),
                                                 std::to_string(images_.loader.size())})
                    << '\n';
            } else {
                err << Say(CtlText::PlanNoLoader) << '\n';
            }
            err << "  " << Say(CtlText::PlanTime, {Duration(plan.estimateMs), blockSize}) << '\n';
        }
        if (longRun) {
            err << Say(CtlText::LongUpgrade, {Duration(plan.estimateMs), blockSize}) << '\n';
        }
        if (!ask_) return true;
        interrupts_->Stage(UpgradeStage::Asking);
        err << Say(CtlText::Question) << ' ' << std::flush;
        std::string answer;
        const bool yes = ReadAnswer(answer, stop_) && IsYes(answer);
        interrupts_->Stage(UpgradeStage::NothingWritten);
        return yes;
    }

    struct Ending {
        RunOutcome history;
        int code = kExitOk;
        std::vector<std::string> lines;  // what the user is told, in order
        bool toOut = false;              // on standard output (a success), else standard error
    };

    Ending Judge(const UpgradeResult& r, StopCause cause) const {
        Ending e;
        const std::string where = Say(WhereLeft(interrupts_->stage()));
        switch (r.outcome) {
            case UpgradeOutcome::Success:
                e.history = {"success", ""};
                e.lines.push_back(Say(CtlText::Upgraded));
                e.toOut = true;
                break;
            case UpgradeOutcome::Cancelled:
                e.history = {"cancelled", cause == StopCause::Terminate
                                              ? history::kTerminatedWhenAsked
                                              : history::kDeclined};
                e.code = cause == StopCause::Terminate ? kExitTerminated : kExitDeclined;
                e.lines.push_back(Say(CtlText::Cancelled));
                return e;
            case UpgradeOutcome::Stopped:
                e.history = {"stopped",
                             text::FillPlaces(history::kStopped, {English(StopCauseText(cause))})};
                e.code = cause == StopCause::Terminate ? kExitTerminated : kExitFailed;
                e.lines.push_back(Say(CtlText::Stopped, {Say(StopCauseText(cause)), where}));
                break;
            case UpgradeOutcome::Failure: {
                // The history keeps the reason in English; the user reads it in the language.
                std::string reason = UpgradeFailureText(r.failure);
                std::string told = SayFailure(r.failure);
                const auto add = [&](CtlText pattern, std::string_view value) {
                    reason = text::FillPlaces(English(pattern), {reason, value});
                    told = Say(pattern, {told, value});
                };
                if (!r.backupError.empty() && (r.failure == UpgradeFailure::BackupUnavailable ||
                                               r.failure == UpgradeFailure::BackupNotSaved)) {
                    add(CtlText::Because, r.backupError);
                }
                if (r.failure == UpgradeFailure::BlockTransfer ||
                    r.failure == UpgradeFailure::BackupNotSaved) {
                    add(CtlText::AtBlock, Hex(r.failedAddress));
                }
                e.history = {r.failure == UpgradeFailure::BackupUnavailable ? "refused" : "failure",
                             reason};
                e.code = FailureExitCode(r.failure);
                e.lines.push_back(Say(CtlText::Error, {Say(CtlText::Failed, {told})}));
                const std::optional<CtlText> advice = FailureAdvice(r.failure);
                e.lines.push_back(advice ? Say(*advice) : where);
                break;
            }
        }
        if (!r.backupPath.empty()) {
            const std::string path = os::Utf8Of(r.backupPath);
            e.lines.push_back(Say(CtlText::Saved, {path}));
            if (r.backupResumed) e.lines.push_back(Say(CtlText::SavedResumed));
            e.lines.push_back(Say(CtlText::Restore, {path}));
        } else if (r.failure != UpgradeFailure::BackupUnavailable) {
            e.lines.push_back(Say(CtlText::NoBackup));
        }
        if (!r.backupError.empty() && r.failure != UpgradeFailure::BackupUnavailable &&
            r.failure != UpgradeFailure::BackupNotSaved) {
            e.lines.push_back(
                Say(CtlText::Warning, {Say(CtlText::BackupWarning, {r.backupError})}));
        }
        return e;
    }

    int Report(const UpgradeResult& result, StopCause cause) {
        ending_ = Judge(result, cause);
        const bool json = s_.json();
        // As JSON, a success says everything in its object; the rest is said on stderr too.
        if (!json || !ending_.toOut) {
            std::ostream& to = ending_.toOut ? s_.out() : s_.err();
            for (const std::string& line : ending_.lines) to << line << '\n';
        }
        if (json) {
            s_.out() << JsonObject()
                            .String("outcome", ending_.history.outcome)
                            .StringOrNull("reason", ending_.history.reason)
                            .StringOrNull("backup", os::Utf8Of(result.backupPath))
                            .Bool("backupResumed", result.backupResumed)
                            .str()
                     << '\n';
        }
        return ending_.code;
    }

    HistoryEntry Entry(const RunOutcome& outcome) const {
        return MakeHistoryEntry(engine_, PathFromUtf8(request_.firmware), images_.firmware, outcome,
                                backup_, resumed_);
    }

    // The line a process ended at once leaves, as things stand now.
    void Prepare() {
        if (historyFile_.empty()) return;
        const RunOutcome outcome{
            "stopped",
            text::FillPlaces(history::kEndedAtOnce, {English(WhereLeft(interrupts_->stage()))})};
        interrupts_->PrepareHistory(historyFile_, HistoryLine(Entry(outcome)));
    }

    void Record(const UpgradeResult& result) {
        HistoryEntry entry = Entry(ending_.history);
        entry.backup = os::Utf8Of(result.backupPath);
        entry.backupResumed = result.backupResumed;
        std::string error;
        if (!AppendHistory(historyFile_, entry, error)) {
            s_.err() << Say(CtlText::Warning, {Say(CtlText::HistoryWarning, {error})}) << '\n';
        }
    }

    CtlSession& s_;
    const UpgradeRequest& request_;
    const UpgradeImages& images_;
    std::string loaderPath_;
    BackupOwner engine_;
    std::filesystem::path historyFile_;
    std::unique_ptr<UpgradeProgress> progress_;
    UpgradeInterrupts* interrupts_ = nullptr;
    std::atomic<bool> stop_{false};
    bool ask_ = false;
    std::filesystem::path backup_;
    bool resumed_ = false;
    Ending ending_;
};

int RunUpgrade(CtlSession& s, const UpgradeRequest& request) {
    UpgradeImages images;
    std::string loaderPath;
    if (const int code = LoadImages(request, images, loaderPath, s.err()); code != kExitOk) {
        return code;
    }
    // Another program's brief use of the engine (a status poll) is waited out, not a failure.
    if (const int code = s.FindEngine(std::chrono::seconds(3)); code != kExitOk) return code;
    return UpgradeRun(s, request, images, std::move(loaderPath)).Go();
}

}  // namespace

void AddUpgradeCommand(CLI::App& app, CtlCommand& chosen) {
    auto request = std::make_shared<UpgradeRequest>();
    CLI::App* command = AddCommand(
        app, chosen, "upgrade",
        "Load new firmware into the engine, after a question on a terminal; Ctrl-C or SIGTERM "
        "stops at the next block, a second one at once; --json: one object per line",
        [request](CtlSession& s) { return RunUpgrade(s, *request); });
    command->add_option("FIRMWARE", request->firmware, "Firmware image (1-129024 bytes)")
        ->required();
    command
        ->add_option("--loader", request->loader,
                     "Loader image (1-10240 bytes); default usbloader.bin, else "
                     "usbloader.enc, beside the program or in a kq7300 data folder (see the "
                     "man page)")
        ->type_name("FILE")
        ->check(NonEmpty(Say(CtlText::EmptyValue)));
    command->add_flag("-y,--yes", request->yes, "Do not ask before writing");
}

}  // namespace kq
