#include "cli/upgrade_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#include "cli/ctl.h"
#include "devlink/link.h"
#include "upgrade/image_files.h"
#include "upgrade/upgrade.h"

namespace kq {
namespace {

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The first Ctrl-C asks for a stop at the next block; SA_RESETHAND lets a second one end the
// program at once, for a stop that would otherwise wait out the loader's restart.
extern "C" void OnInterrupt(int) { g_stopRequested.store(true); }

class InterruptGuard {
public:
    InterruptGuard() {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previous_ {};
};

const char* PhaseText(UpgradePhase phase) {
    switch (phase) {
        case UpgradePhase::Loader: return "writing the loader";
        case UpgradePhase::WaitingForLoader:
            return "waiting for the engine to restart into its loader";
        case UpgradePhase::Firmware: return "writing the firmware";
        case UpgradePhase::Finishing: return "waiting for the engine to restart";
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

}  // namespace

void AddUpgradeCommand(CLI::App& app, UpgradeRequest& request) {
    auto* command = app.add_subcommand(
        "upgrade",
        "Load new firmware into the engine; Ctrl-C stops at the next block, a second Ctrl-C at "
        "once");
    command->add_option("FIRMWARE", request.firmware, "Firmware image (1-129024 bytes)")
        ->required();
    command->add_option("--loader", request.loader,
                        "Loader image (1-10240 bytes); default usbloader.bin, else "
                        "usbloader.enc, beside the program")
        ->type_name("FILE");
}

int RunUpgradeCommand(DeviceLink& link, const UpgradeRequest& request, std::ostream& out,
                      std::ostream& err) {
    const auto loaders = request.loader.empty()
                             ? LoaderCandidates(ProgramDirectory())
                             : std::vector<std::filesystem::path>{request.loader};
    UpgradeImages images;
    const ImageLoadResult loaded = LoadUpgradeImages(request.firmware, loaders, images);
    switch (loaded.check) {
        case ImageCheck::Ok: break;
        case ImageCheck::NoFileName:
            err << "error: no firmware file named\n";
            return kExitUsage;
        case ImageCheck::FirmwareUnreadable:
        case ImageCheck::LoaderUnreadable:
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

    ProgressPrinter printer(out, &out == &std::cout && isatty(STDOUT_FILENO));
    g_stopRequested = false;
    UpgradeJob job{.link = link,
                   .sleeper = link.sleeper(),
                   .firmware = images.firmware,
                   .loader = images.loader,
                   .m_bStopRequested = g_stopRequested,
                   .callbacks = {.progress = [&](int p) { printer.Position(p); },
                                 .controls = nullptr,
                                 .phase = [&](UpgradePhase p) { printer.Phase(p); }}};
    UpgradeOutcome outcome;
    {
        InterruptGuard guard;
        outcome = UpgradeThreadProc(job);
    }
    printer.Finish();
    switch (outcome) {
        case UpgradeOutcome::Success:
            out << "firmware upgraded\n";
            return kExitOk;
        case UpgradeOutcome::Stopped:
            err << "upgrade stopped\n";
            return kExitFailed;
        case UpgradeOutcome::Failure: break;
    }
    err << "error: the firmware upgrade failed\n";
    return kExitFailed;
}

}  // namespace kq
