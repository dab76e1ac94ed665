#include "cli/ctl.h"

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "cli/engine_commands.h"
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

int CtlSession::FindEngine() {
    if (const int code = RefuseSeveralEngines(); code != kExitOk) return code;
    return FindChosenEngine() ? kExitOk : ExplainNotFound();
}

// As dfu-util does: with two engines on the bus, a guess could flash the wrong one. A serial
// shared by two engines does not choose either; their paths always differ.
int CtlSession::RefuseSeveralEngines() {
    const std::vector<InterfaceEntry> engines = Candidates();
    if (engines.size() < 2) return kExitOk;
    if (options_.filter.serial.empty() && options_.filter.path.empty()) {
        err_ << "error: " << engines.size()
             << " engines are attached; choose one with --serial S or --path P:\n";
    } else {
        err_ << "error: " << engines.size() << " engines have serial " << options_.filter.serial
             << "; choose one with --path P:\n";
    }
    for (const InterfaceEntry& engine : engines) {
        err_ << "  " << engine.path << "  serial " << (engine.serial.empty() ? "-" : engine.serial)
             << '\n';
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
            err_ << "error: an engine is attached but another program is using it ("
                 << link_->lastDiscoveryDetail() << ")\n";
            return kExitFailed;
        case OpenError::Other:
            err_ << "error: an engine is attached but cannot be opened ("
                 << link_->lastDiscoveryDetail() << ")\n";
            return kExitFailed;
        default:
            err_ << "error: " << NoEngineText() << '\n';
            return kExitNoEngine;
    }
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
    return text;
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
    "  130  a second Ctrl-C ended an upgrade at once";

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
    app.footer(kExitCodes);
    app.failure_message(FailureMessage);
    app.set_version_flag("--version", std::string("kq7300ctl ") + KQ_VERSION,
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
                   "Talk to the engine at this path, as list shows it")
        ->type_name("P");
    app.add_flag("--json", options.json,
                 "Print status, current, list and monitor as JSON (one object per line)");

    CtlCommand& chosen = request.command;
    AddEngineCommands(app, chosen);
    AddUpgradeCommand(app, chosen);
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
