#include "cli/ctl.h"

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <set>
#include <thread>
#include <utility>

#include "cli/engine_commands.h"
#include "cli/help_format.h"
#include "cli/history_command.h"
#include "cli/session.h"
#include "cli/upgrade_command.h"
#include "cli/usb_commands.h"
#include "devlink/link.h"

namespace kq {

CtlSession::CtlSession(const CtlOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

CtlSession::~CtlSession() = default;

int CtlSession::Open() {
    std::string error;
    if (!MakeBackend(options_.backend, backend_, &error)) {
        err_ << "error: --virtual-engine: " << error << '\n';
        return kExitUsage;
    }
    link_ = std::make_unique<DeviceLink>(*backend_.platform);
    link_->setFilter(options_.filter);
    const std::string& trace = options_.backend.tracePath;
    if (!trace.empty() && !link_->trace().Open(trace)) {
        err_ << "error: cannot open trace file " << trace << '\n';
        return kExitUsage;
    }
    return kExitOk;
}

int CtlSession::FindEngine(std::chrono::milliseconds waitOutBusy) {
    if (const int code = RefuseSeveralEngines(); code != kExitOk) return code;
    const auto deadline = std::chrono::steady_clock::now() + waitOutBusy;
    while (!FindChosenEngine()) {
        if (link_->lastDiscoveryError() != OpenError::Busy ||
            std::chrono::steady_clock::now() >= deadline) {
            return ExplainNotFound();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return kExitOk;
}

// With two engines on the bus, a guess could flash the wrong one. The refusal offers only what
// tells them apart: a serial shared by two engines (or unknown) chooses neither; their places
// and paths always differ.
int CtlSession::RefuseSeveralEngines() {
    const std::vector<InterfaceEntry> engines = Candidates();
    if (engines.size() < 2) return kExitOk;
    std::set<std::string> serials;
    bool serialsDiffer = true;
    for (const InterfaceEntry& engine : engines) {
        if (engine.serial.empty() || !serials.insert(engine.serial).second) serialsDiffer = false;
    }
    err_ << "error: " << engines.size();
    if (!options_.filter.serial.empty()) {
        err_ << " engines have serial " << options_.filter.serial
             << "; choose one with --path P:\n";
    } else if (serialsDiffer) {
        err_ << " engines are attached; choose one with --serial S or --path P:\n";
    } else {
        err_ << " engines are attached and their serials do not tell them apart; choose one with "
                "--path P:\n";
    }
    for (const InterfaceEntry& engine : engines) {
        err_ << "  " << EngineName(engine) << "  serial "
             << (engine.serial.empty() ? "-" : engine.serial) << '\n';
    }
    return kExitUsage;
}

bool CtlSession::SearchMayTake(const InterfaceEntry& engine) {
    std::string instance;
    ExtractInstance(engine.path, instance);
    if (instance == kEngineInstance) return true;
    if (!standardNodePresent_) {
        standardNodePresent_ = false;
        for (const InterfaceEntry& node :
             backend_.platform->ListInterfaces(GUID_DEVINTERFACE_USB_DEVICE)) {
            std::string nodeInstance;
            ExtractInstance(node.path, nodeInstance);
            if (MatchVidPid(node.path, kEngineVendorId, kEngineProductId) &&
                nodeInstance == kEngineInstance) {
                standardNodePresent_ = true;
            }
        }
    }
    return *standardNodePresent_;
}

std::vector<InterfaceEntry> CtlSession::Candidates() {
    std::vector<InterfaceEntry> engines = PresentEngines();
    std::erase_if(engines, [this](const InterfaceEntry& e) { return !SearchMayTake(e); });
    return engines;
}

bool CtlSession::FindChosenEngine() {
    if (!link_->FindDevice()) return false;
    link_->DevicePresent = 1;
    return true;
}

int CtlSession::ExplainNotFound() {
    switch (link_->lastDiscoveryError()) {
        case OpenError::NoPermission:
            err_ << "error: an engine is attached but this user may not open it ("
                 << link_->lastDiscoveryDetail() << ").\n"
                 << NoPermissionAdvice() << '\n';
            return kExitNoPermission;
        case OpenError::Busy:
            return ExplainBusy(link_->lastDiscoveryDetail());
        case OpenError::Other:
            err_ << "error: an engine is attached but cannot be opened ("
                 << link_->lastDiscoveryDetail() << ")\n";
            return kExitFailed;
        default:
            err_ << "error: " << NoEngineText() << '\n';
            return kExitNoEngine;
    }
}

int CtlSession::ExplainIfBusy() {
    const OpenResult opened = link_->lastPipeOpen();
    return opened.error == OpenError::Busy ? ExplainBusy(opened.detail) : 0;
}

int CtlSession::FailureCode() {
    return link_->lastPipeOpen().error == OpenError::Busy ? kExitBusy : kExitFailed;
}

int CtlSession::ExplainBusy(const std::string& detail) {
    err_ << "error: the engine is in use by another program"
         << (detail.empty() ? "" : " (" + detail + ")")
         << "; try again when that program is done with it\n";
    return kExitBusy;
}

std::vector<InterfaceEntry> CtlSession::PresentEngines() {
    std::vector<InterfaceEntry> engines;
    for (InterfaceEntry& entry : backend_.platform->ListInterfaces(EngineInterfaceClass)) {
        if (MatchVidPid(entry.path, kEngineVendorId, kEngineProductId) &&
            options_.filter.Admits(entry)) {
            engines.push_back(std::move(entry));
        }
    }
    return engines;
}

const char* NoPermissionAdvice() {
#ifdef _WIN32
    return "Check that the engine's driver is installed and that no other program holds the "
           "engine, then plug it in again.";
#else
    return "Install the tool's package, which brings the udev rule 70-kq7300.rules (or copy the "
           "rule into /etc/udev/rules.d); without a desktop session, add the user to the group "
           "plugdev. Then plug the engine in again.";
#endif
}

std::string CtlSession::NoEngineText() const {
    std::string text = "no engine found";
    if (!options_.filter.serial.empty()) text += " with serial " + options_.filter.serial;
    if (!options_.filter.path.empty()) text += " at " + options_.filter.path;
    if (!options_.filter.place.empty()) text += " at " + options_.filter.place;
    return text;
}

// A word a shell takes as it stands: no quoting, globbing, expansion or separator character.
std::string EngineName(const std::string& place, const std::string& interfacePath) {
    const bool plain = !place.empty() && std::all_of(place.begin(), place.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || c == ':';
    });
    return plain ? place : interfacePath;
}

std::string EngineName(const InterfaceEntry& engine) {
    return EngineName(engine.place, engine.path);
}

bool IsInterfacePath(const std::string& path) {
    return path.starts_with("\\\\");
}

CLI::App* AddCommand(CLI::App& app, CtlCommand& chosen, const std::string& name,
                     const std::string& description, CtlCommand run) {
    CLI::App* command = app.add_subcommand(name, description);
    command->callback([&chosen, run = std::move(run)] { chosen = run; });
    return command;
}

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  the engine did not do what was asked, or the output could not be written\n"
    "  2  usage: a wrong command, option or file, or several engines and none chosen\n"
    "  3  no engine found\n"
    "  4  an engine is attached but this user may not open it\n"
    "  5  the engine is in use by another program\n"
    "  6  upgrade: the question was answered no; nothing was written\n"
    "  7  upgrade: the engine stayed in its loader after the finish\n"
    "  8  upgrade: the engine gave an unexpected answer after the finish\n"
    "  9  upgrade: the engine did not come back after the finish\n"
    "  10  upgrade: another engine was found after a restart, not this one\n"
    "  11  upgrade: no backup can be made; nothing was written\n"
    "  12  upgrade: a backup could not be saved; that block was not written\n"
    "  130  a second Ctrl-C ended an upgrade at once\n"
    "  143  SIGTERM stopped an upgrade";

// CLI11's own messages in the form of the program's other errors.
std::string FailureMessage(const CLI::App*, const CLI::Error& e) {
    return std::string("error: ") + e.what() + "\nRun with --help for more information.\n";
}

}  // namespace

int ParseCtl(const std::vector<std::string>& args, CtlRequest& request, std::ostream& out,
             std::ostream& err) {
    request.parser =
        std::make_unique<CLI::App>("Controls the KQ7300 light engine over USB.", "kq7300ctl");
    CLI::App& app = *request.parser;
    WrapHelp(app);
    app.footer(kExitCodes);
    app.failure_message(FailureMessage);
    app.set_version_flag("-V,--version", std::string("kq7300ctl ") + KQ_VERSION,
                         "Print the version and exit");
    // The global options may also follow the command: kq7300ctl status --json.
    app.fallthrough();
    app.require_subcommand(0, 1);

    CtlOptions& options = request.options;
    AddBackendOptions(app, options.backend);
    app.add_option("--serial", options.filter.serial,
                   "Talk to the engine with this serial number, as list shows it")
        ->type_name("S");
    app.add_option("--path", options.filter.path,
                   "Talk to the engine at this path, as list shows it (such as 1-1.2)")
        ->type_name("P");
    app.add_flag(
        "--json", options.json,
        "Print status, current, list, monitor, upgrade and history as JSON (one object per line)");

    CtlCommand& chosen = request.command;
    AddEngineCommands(app, chosen);
    AddUpgradeCommand(app, chosen);
    AddHistoryCommand(app, chosen);
    AddUsbCommands(app, chosen);
    // After the commands, which keep refusing what they do not expect: a word left over here is
    // judged below, so that an unknown command is called one.
    app.allow_extras();

    // Settings always hold a "=": a separate word without one after a bare --virtual-engine is
    // a command, or a mistyped one, never settings (the parser would take it for them).
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& next = args[i + 1];
        if (args[i] == "--virtual-engine" && next.find('=') == std::string::npos &&
            !next.starts_with('-') &&
            app.get_subcommands([&](const CLI::App* c) { return c->get_name() == next; }).empty()) {
            err << "error: unknown command " << next << "\nRun with --help for more information.\n";
            return kExitUsage;
        }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
        const std::vector<std::string> extra = app.remaining();
        if (!chosen && !extra.empty() && !extra.front().starts_with('-')) {
            err << "error: unknown command " << extra.front()
                << "\nRun with --help for more information.\n";
            return kExitUsage;
        }
        if (!extra.empty()) throw CLI::ExtrasError(extra);
        if (!chosen) {
            err << "error: no command given\nRun with --help for more information.\n";
            return kExitUsage;
        }
        // list shows a place on the bus where it can; an interface path is taken as before.
        DeviceFilter& filter = options.filter;
        if (!filter.path.empty() && !IsInterfacePath(filter.path)) {
            filter.place = std::exchange(filter.path, std::string());
        }
    } catch (const CLI::ParseError& e) {
        chosen = nullptr;
        return app.exit(e, out, err) == 0 ? kExitOk : kExitUsage;
    }
    return kExitOk;
}

namespace {

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CtlRequest request;
    if (const int code = ParseCtl(args, request, out, err); !request.command) return code;
    CtlSession session(request.options, out, err);
    if (const int code = session.Open(); code != kExitOk) return code;
    return request.command(session);
}

}  // namespace

int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const int code = Run(args, out, err);
    // A result that never reached its reader is no success.
    errno = 0;
    out.flush();
    if (out) return code;
    const int why = errno;
    err << "error: cannot write the output"
        << (why != 0 ? std::string(": ") + std::strerror(why) : "") << '\n';
    return code == kExitOk ? kExitFailed : code;
}

}  // namespace kq
