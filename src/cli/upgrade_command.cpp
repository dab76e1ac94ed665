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
#include <string_view>

#include "cli/ctl.h"
#include "cli/json.h"
#include "cli/upgrade_interrupt.h"
#include "cli/upgrade_progress.h"
#include "devlink/commands.h"
#include "devlink/link.h"
#include "os/sha256.h"
#include "upgrade/backup.h"
#include "upgrade/history.h"
#include "upgrade/image_files.h"
#include "upgrade/upgrade.h"

namespace kq {
namespace {

// Everything upgrade says, in one place; "{}" stands for what Fill puts in, in order.
namespace say {
constexpr const char* kNoFileName = "error: no firmware file named";
constexpr const char* kNoLoader =
    "error: no loader image: no usbloader.bin or usbloader.enc in {}; put one there or name one "
    "with --loader FILE";
constexpr const char* kCannotRead = "error: cannot read {}";
constexpr const char* kFirmwareSize = "error: {} has {} bytes; a firmware image has 1 to {}";
constexpr const char* kLoaderSize = "error: {} has {} bytes; a loader image has 1 to {}";

constexpr const char* kPlanTitle = "About to upgrade the engine's firmware:";
constexpr const char* kPlanEngine = "  engine:    serial {}, product id {}{}";
constexpr const char* kPlanPlace = ", at {}";
constexpr const char* kUnknown = "unknown";
constexpr const char* kUnknownProductId = "unknown (the loader does not tell it)";
constexpr const char* kPlanFirmware = "  firmware:  {}, {} bytes, SHA-256 {}";
constexpr const char* kPlanLoader =
    "  loader:    {}, {} bytes, written first: the engine runs its application and restarts "
    "into its loader";
constexpr const char* kPlanNoLoader = "  loader:    not needed: the engine runs its loader";
constexpr const char* kPlanTime = "  time:      about {} (block size {})";
constexpr const char* kLongUpgrade =
    "note: this upgrade takes about {} with the engine's block size of {} bytes; keep the engine "
    "connected all the while";
constexpr const char* kQuestion = "Upgrade the firmware now? [y/N] ";
constexpr const char* kHours = "{} h {} min";
constexpr const char* kMinutes = "{} min {} s";
constexpr const char* kSeconds = "{} s";

constexpr const char* kUpgraded = "firmware upgraded";
constexpr const char* kCancelled = "upgrade cancelled: nothing was written to the engine";
constexpr const char* kStopped = "upgrade stopped {}: {}";
constexpr const char* kByCtrlC = "by Ctrl-C";
constexpr const char* kBySigterm = "by SIGTERM";
constexpr const char* kByClose = "as the console closed";
constexpr const char* kFailed = "error: the firmware upgrade failed: {}";
constexpr const char* kAtBlock = "{} (block at 0x{})";
constexpr const char* kBecause = "{}: {}";
constexpr const char* kLeftNothing = "nothing was written to the engine";
constexpr const char* kLeftApplication = "the engine keeps its application firmware";
constexpr const char* kLeftLoader =
    "the engine is left in its loader until an upgrade completes; upgrading again goes on from "
    "there";
constexpr const char* kLeftFinished = "the engine had been told to finish the upgrade";
constexpr const char* kAdviceStayedInLoader =
    "the firmware was written, but the engine did not start it; upgrade again, or put its "
    "previous firmware back";
constexpr const char* kAdviceUnexpectedMode =
    "the engine answers neither as its application nor as its loader did; see what it says with "
    "kq7300ctl status";
constexpr const char* kAdviceNotBack =
    "unplug the engine and plug it in again, then see what it says with kq7300ctl status";
constexpr const char* kAdviceOtherEngine =
    "nothing was written to the other engine; unplug it and upgrade again";
constexpr const char* kAdviceBusy = "try again when that program is done with it";

constexpr const char* kSaved = "the engine's previous firmware was saved as {}";
constexpr const char* kSavedResumed =
    "(it continues an earlier run's backup: the bytes the engine held before the first of these "
    "runs)";
constexpr const char* kRestore = "to put it back, upgrade with that file: kq7300ctl upgrade {}";
constexpr const char* kNoBackup =
    "no byte of the engine's firmware was replaced, so no backup was needed";
constexpr const char* kBackupWarning =
    "warning: the engine's previous firmware could not be saved: {}";
constexpr const char* kHistoryWarning =
    "warning: the run could not be recorded in the upgrade history: {}";

// The history's reasons.
constexpr const char* kDeclined = "declined when asked";
constexpr const char* kTerminatedWhenAsked = "SIGTERM when asked";
constexpr const char* kStoppedReason = "stopped {}";
constexpr const char* kEndedAtOnce = "ended at once by a second Ctrl-C or SIGTERM: {}";
}  // namespace say

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text;
    auto value = values.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 2, "{}") == 0 && value != values.end()) {
            text += *value++;
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string Duration(uint64_t ms) {
    const uint64_t s = (ms + 999) / 1000;
    if (s >= 3600) {
        return Fill(say::kHours, {std::to_string(s / 3600), std::to_string(s / 60 % 60)});
    }
    if (s >= 60) return Fill(say::kMinutes, {std::to_string(s / 60), std::to_string(s % 60)});
    return Fill(say::kSeconds, {std::to_string(s)});
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
            err << say::kNoFileName << '\n';
            return kExitUsage;
        case ImageCheck::LoaderUnreadable:
            if (request.loader.empty()) {
                const auto folders = LoaderFolders(ProgramDirectory());
                std::string places;
                for (size_t i = 0; i < folders.size(); ++i) {
                    places += i == 0 ? "" : i + 1 == folders.size() ? " or " : ", ";
                    places += folders[i].string();
                }
                err << Fill(say::kNoLoader, {places}) << '\n';
                return kExitUsage;
            }
            [[fallthrough]];
        case ImageCheck::FirmwareUnreadable:
            err << Fill(say::kCannotRead, {loaded.path}) << '\n';
            return kExitUsage;
        case ImageCheck::FirmwareSize:
            err << Fill(say::kFirmwareSize, {loaded.path, std::to_string(loaded.size),
                                             std::to_string(kMaxFirmwareLength)})
                << '\n';
            return kExitUsage;
        case ImageCheck::LoaderSize:
            err << Fill(say::kLoaderSize, {loaded.path, std::to_string(loaded.size),
                                           std::to_string(kMaxLoaderLength)})
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

const char* FailureAdvice(UpgradeFailure failure) {
    switch (failure) {
        case UpgradeFailure::StayedInLoader:
            return say::kAdviceStayedInLoader;
        case UpgradeFailure::UnexpectedMode:
            return say::kAdviceUnexpectedMode;
        case UpgradeFailure::NotBack:
            return say::kAdviceNotBack;
        case UpgradeFailure::OtherEngine:
            return say::kAdviceOtherEngine;
        case UpgradeFailure::EngineBusy:
            return say::kAdviceBusy;
        default:
            return nullptr;
    }
}

const char* WhereLeft(UpgradeStage stage) {
    switch (stage) {
        case UpgradeStage::Asking:
        case UpgradeStage::NothingWritten:
            return say::kLeftNothing;
        case UpgradeStage::StillInApplication:
            return say::kLeftApplication;
        case UpgradeStage::InLoader:
            return say::kLeftLoader;
        case UpgradeStage::Finishing:
            return say::kLeftFinished;
    }
    return say::kLeftNothing;
}

const char* StopCauseText(StopCause cause) {
    switch (cause) {
        case StopCause::Terminate:
            return say::kBySigterm;
        case StopCause::Close:
            return say::kByClose;
        default:
            return say::kByCtrlC;
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
            const std::string place = plan.place.empty() ? "" : Fill(say::kPlanPlace, {plan.place});
            err << say::kPlanTitle << '\n'
                << Fill(say::kPlanEngine,
                        {plan.serial.empty() ? say::kUnknown : plan.serial,
                         plan.productId.empty() ? say::kUnknownProductId : plan.productId, place})
                << '\n'
                << Fill(say::kPlanFirmware,
                        {os::Utf8Of(PathFromUtf8(request_.firmware).filename()),
                         std::to_string(images_.firmware.size()), os::Sha256Hex(images_.firmware)})
                << '\n';
            if (plan.loaderPhase) {
                err << Fill(say::kPlanLoader, {os::Utf8Of(PathFromUtf8(loaderPath_).filename()),
                                               std::to_string(images_.loader.size())})
                    << '\n';
            } else {
                err << say::kPlanNoLoader << '\n';
            }
            err << Fill(say::kPlanTime, {Duration(plan.estimateMs), blockSize}) << '\n';
        }
        if (longRun) err << Fill(say::kLongUpgrade, {Duration(plan.estimateMs), blockSize}) << '\n';
        if (!ask_) return true;
        interrupts_->Stage(UpgradeStage::Asking);
        err << say::kQuestion << std::flush;
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
        const char* where = WhereLeft(interrupts_->stage());
        switch (r.outcome) {
            case UpgradeOutcome::Success:
                e.history = {"success", ""};
                e.lines.push_back(say::kUpgraded);
                e.toOut = true;
                break;
            case UpgradeOutcome::Cancelled:
                e.history = {"cancelled", cause == StopCause::Terminate ? say::kTerminatedWhenAsked
                                                                        : say::kDeclined};
                e.code = cause == StopCause::Terminate ? kExitTerminated : kExitDeclined;
                e.lines.push_back(say::kCancelled);
                return e;
            case UpgradeOutcome::Stopped:
                e.history = {"stopped", Fill(say::kStoppedReason, {StopCauseText(cause)})};
                e.code = cause == StopCause::Terminate ? kExitTerminated : kExitFailed;
                e.lines.push_back(Fill(say::kStopped, {StopCauseText(cause), where}));
                break;
            case UpgradeOutcome::Failure: {
                std::string reason = UpgradeFailureText(r.failure);
                if (!r.backupError.empty() && (r.failure == UpgradeFailure::BackupUnavailable ||
                                               r.failure == UpgradeFailure::BackupNotSaved)) {
                    reason = Fill(say::kBecause, {reason, r.backupError});
                }
                if (r.failure == UpgradeFailure::BlockTransfer ||
                    r.failure == UpgradeFailure::BackupNotSaved) {
                    reason = Fill(say::kAtBlock, {reason, Hex(r.failedAddress)});
                }
                e.history = {r.failure == UpgradeFailure::BackupUnavailable ? "refused" : "failure",
                             reason};
                e.code = FailureExitCode(r.failure);
                e.lines.push_back(Fill(say::kFailed, {reason}));
                if (const char* advice = FailureAdvice(r.failure)) {
                    e.lines.push_back(advice);
                } else {
                    e.lines.push_back(where);
                }
                break;
            }
        }
        if (!r.backupPath.empty()) {
            const std::string path = os::Utf8Of(r.backupPath);
            e.lines.push_back(Fill(say::kSaved, {path}));
            if (r.backupResumed) e.lines.push_back(say::kSavedResumed);
            e.lines.push_back(Fill(say::kRestore, {path}));
        } else if (r.failure != UpgradeFailure::BackupUnavailable) {
            e.lines.push_back(say::kNoBackup);
        }
        if (!r.backupError.empty() && r.failure != UpgradeFailure::BackupUnavailable &&
            r.failure != UpgradeFailure::BackupNotSaved) {
            e.lines.push_back(Fill(say::kBackupWarning, {r.backupError}));
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
        const RunOutcome outcome{"stopped",
                                 Fill(say::kEndedAtOnce, {WhereLeft(interrupts_->stage())})};
        interrupts_->PrepareHistory(historyFile_, HistoryLine(Entry(outcome)));
    }

    void Record(const UpgradeResult& result) {
        HistoryEntry entry = Entry(ending_.history);
        entry.backup = os::Utf8Of(result.backupPath);
        entry.backupResumed = result.backupResumed;
        std::string error;
        if (!AppendHistory(historyFile_, entry, error)) {
            s_.err() << Fill(say::kHistoryWarning, {error}) << '\n';
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
        ->type_name("FILE");
    command->add_flag("-y,--yes", request->yes, "Do not ask before writing");
}

}  // namespace kq
