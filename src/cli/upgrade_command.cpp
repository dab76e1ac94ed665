#include "cli/upgrade_command.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstring>
#include <iostream>

#include "cli/ctl.h"
#include "devlink/commands.h"
#include "upgrade/backup.h"
#include "upgrade/image_files.h"
#include "upgrade/upgrade.h"

namespace kq {
namespace {

std::atomic<bool> g_stopRequested{false};
// How far the upgrade has gone, for what a second Ctrl-C can truthfully say about the engine.
enum InterruptState : int { kNothingWritten, kStillInApplication, kInLoader, kFinishing };
std::atomic<int> g_interruptState{kNothingWritten};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

#ifdef _WIN32
void Say(const char* text) {
    // Straight to the handle, past the C library's locks, which the interrupted thread may hold;
    // lines end as those of the text-mode stderr. A lost message is no reason to stop.
    std::string lines;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') lines += '\r';
        lines += *c;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), lines.data(), static_cast<DWORD>(lines.size()),
              &written, nullptr);
}
#else
void Say(const char* text) {
    // Only write(2) may be used here; a lost message is no reason to stop.
    const ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}
#endif

// The first Ctrl-C asks for a stop at the next block and says so at once; a second one ends the
// program now, for a stop that would otherwise wait out the loader's restart, and says in what
// state the engine is left.
void Interrupted() {
    if (!g_stopRequested.exchange(true)) {
        Say(g_interruptState.load() == kFinishing
                ? "\nthe engine is finishing the upgrade; there is nothing left to stop (Ctrl-C "
                  "again to quit at once)\n"
                : "\nstopping after the current block... (Ctrl-C again to quit at once)\n");
        return;
    }
    switch (g_interruptState.load()) {
        case kNothingWritten:
            Say("\ninterrupted: nothing was written to the engine\n");
            break;
        case kStillInApplication:
            Say("\ninterrupted: the engine keeps its application firmware\n");
            break;
        case kInLoader:
            Say("\ninterrupted: the engine is left in its loader until an upgrade completes\n");
            break;
        default:
            Say("\ninterrupted: the engine had already been told to finish the upgrade\n");
            break;
    }
    _exit(130);
}

#ifdef _WIN32
// Runs on a thread of its own, which the system starts for each Ctrl-C or Ctrl-Break.
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    Interrupted();
    return TRUE;
}

class InterruptGuard {
  public:
    InterruptGuard() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
    ~InterruptGuard() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// A console; not a file, a pipe or the NUL device, which _isatty takes for a terminal too.
bool StandardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
#else
extern "C" void OnInterrupt(int) {
    Interrupted();
}

class InterruptGuard {
  public:
    InterruptGuard() {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

  private:
    struct sigaction previous_ {};
};

bool StandardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}
#endif

const char* PhaseText(UpgradePhase phase) {
    switch (phase) {
        case UpgradePhase::Loader:
            return "writing the loader";
        case UpgradePhase::WaitingForLoader:
            return "waiting for the engine to restart into its loader";
        case UpgradePhase::Firmware:
            return "writing the firmware";
        case UpgradePhase::Finishing:
            return "waiting for the engine to restart";
        case UpgradePhase::Checking:
            return "checking the engine";
    }
    return "";
}

// A redrawn bar on a terminal; one line per change of position otherwise.
class ProgressPrinter {
  public:
    ProgressPrinter(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

    void Position(int position) {
        if (position == position_) return;
        position_ = position;
        if (terminal_) {
            Draw();
        } else {
            out_ << "progress " << position << "%\n" << std::flush;
        }
    }

    void Phase(UpgradePhase phase) {
        Finish();
        out_ << PhaseText(phase) << '\n' << std::flush;
        if (terminal_ && position_ >= 0) Draw();
    }

    void Finish() {
        if (terminal_ && drawn_) out_ << '\n' << std::flush;
        drawn_ = false;
    }

  private:
    void Draw() {
        constexpr int kWidth = 40;
        const int filled = position_ * kWidth / 100;
        out_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
             << position_ << '%' << std::flush;
        drawn_ = true;
    }

    std::ostream& out_;
    bool terminal_;
    int position_ = -1;
    bool drawn_ = false;
};

struct UpgradeRequest {
    std::string firmware;
    std::string loader;  // empty: the loader beside the program
};

// Usage errors, told before any engine is looked for: kExitOk when both images were read.
int LoadImages(const UpgradeRequest& request, UpgradeImages& images, std::ostream& err) {
    const auto loaders = request.loader.empty()
                             ? LoaderCandidates(ProgramDirectory())
                             : std::vector<std::filesystem::path>{PathFromUtf8(request.loader)};
    const ImageLoadResult loaded = LoadUpgradeImages(request.firmware, loaders, images);
    switch (loaded.check) {
        case ImageCheck::Ok:
            return kExitOk;
        case ImageCheck::NoFileName:
            err << "error: no firmware file named\n";
            return kExitUsage;
        case ImageCheck::LoaderUnreadable:
            if (request.loader.empty()) {
                const auto folders = LoaderFolders(ProgramDirectory());
                err << "error: no loader image: no usbloader.bin or usbloader.enc in ";
                for (size_t i = 0; i < folders.size(); ++i) {
                    err << (i == 0                    ? ""
                            : i + 1 == folders.size() ? " or "
                                                      : ", ")
                        << folders[i].string();
                }
                err << "; put one there or name one with --loader FILE\n";
                return kExitUsage;
            }
            [[fallthrough]];
        case ImageCheck::FirmwareUnreadable:
            err << "error: cannot read " << loaded.path << '\n';
            return kExitUsage;
        case ImageCheck::FirmwareSize:
            err << "error: " << loaded.path << " has " << loaded.size
                << " bytes; a firmware image has 1 to " << kMaxFirmwareLength << '\n';
            return kExitUsage;
        case ImageCheck::LoaderSize:
            err << "error: " << loaded.path << " has " << loaded.size
                << " bytes; a loader image has 1 to " << kMaxLoaderLength << '\n';
            return kExitUsage;
    }
    return kExitUsage;
}

// Runs the upgrade against the engine found; the product id names the backup.
int Upgrade(DeviceLink& link, const UpgradeImages& images, const std::string& productId,
            std::ostream& out, std::ostream& err) {
    ProgressPrinter printer(out, &out == &std::cout && StandardOutputIsTerminal());
    g_stopRequested = false;
    g_interruptState = kNothingWritten;
    UpgradeJob job{.link = link,
                   .sleeper = link.sleeper(),
                   .firmware = images.firmware,
                   .loader = images.loader,
                   .m_bStopRequested = g_stopRequested,
                   .callbacks = {.progress = [&](int p) { printer.Position(p); },
                                 .controls = nullptr,
                                 .phase =
                                     [&](UpgradePhase p) {
                                         if (p == UpgradePhase::Loader) {
                                             g_interruptState = kStillInApplication;
                                         } else if (p == UpgradePhase::WaitingForLoader ||
                                                    p == UpgradePhase::Firmware) {
                                             g_interruptState = kInLoader;
                                         } else if (p == UpgradePhase::Finishing) {
                                             g_interruptState = kFinishing;
                                         } else if (p == UpgradePhase::Checking) {
                                             // Told as part of the restart's wait.
                                             return;
                                         }
                                         printer.Phase(p);
                                     }},
                   .backupDir = UpgradeBackupDirectory(),
                   .productId = productId};
    UpgradeResult result;
    {
        InterruptGuard guard;
        result = UpgradeThreadProc(job);
    }
    printer.Finish();
    std::ostream& report = result.outcome == UpgradeOutcome::Success ? out : err;
    switch (result.outcome) {
        case UpgradeOutcome::Success:
            out << "firmware upgraded\n";
            break;
        case UpgradeOutcome::Stopped:
            err << "upgrade stopped\n";
            break;
        case UpgradeOutcome::Cancelled:
            err << "upgrade cancelled\n";
            break;
        case UpgradeOutcome::Failure:
            err << "error: the firmware upgrade failed: " << UpgradeFailureText(result.failure);
            if (result.failure == UpgradeFailure::BlockTransfer) {
                err << " (block at 0x" << std::hex << result.failedAddress << std::dec << ")";
            }
            err << '\n';
            break;
    }
    if (!result.backupPath.empty()) {
        report << "the engine's previous firmware was saved as " << result.backupPath.string()
               << '\n';
    } else if (!result.backupError.empty()) {
        err << "warning: the engine's previous firmware could not be saved: " << result.backupError
            << '\n';
    }
    return result.outcome == UpgradeOutcome::Success ? kExitOk : kExitFailed;
}

int RunUpgrade(CtlSession& s, const UpgradeRequest& request) {
    UpgradeImages images;
    if (const int code = LoadImages(request, images, s.err()); code != kExitOk) return code;
    // Another program's brief use of the engine (a status poll) is waited out, not a failure.
    if (const int code = s.FindEngine(std::chrono::seconds(3)); code != kExitOk) return code;
    // The product id names the backup; it is the one request before the upgrade's own, so the
    // upgrade's frames keep their numbers on the wire.
    std::string productId;
    uint8_t id[8];
    if (CommandSet(s.link()).GetProductId(id)) productId = FormatProductId(id);
    return Upgrade(s.link(), images, productId, s.out(), s.err());
}

}  // namespace

void AddUpgradeCommand(CLI::App& app, CtlCommand& chosen) {
    auto request = std::make_shared<UpgradeRequest>();
    CLI::App* command = AddCommand(
        app, chosen, "upgrade",
        "Load new firmware into the engine; Ctrl-C stops at the next block, a second Ctrl-C at "
        "once",
        [request](CtlSession& s) { return RunUpgrade(s, *request); });
    command->add_option("FIRMWARE", request->firmware, "Firmware image (1-129024 bytes)")
        ->required();
    command
        ->add_option("--loader", request->loader,
                     "Loader image (1-10240 bytes); default usbloader.bin, else "
                     "usbloader.enc, beside the program or in a kq7300 data folder (see the "
                     "man page)")
        ->type_name("FILE");
}

}  // namespace kq
