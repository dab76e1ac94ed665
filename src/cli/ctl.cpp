#include "cli/ctl.h"

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <utility>

#include "cli/ctl_text.h"
#include "cli/empty_values.h"
#include "cli/engine_commands.h"
#include "cli/help_format.h"
#include "cli/history_command.h"
#include "cli/session.h"
#include "cli/upgrade_command.h"
#include "cli/usb_commands.h"

namespace kq {

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

// A usage error and the way to help, as a user is told them.
std::string UsageError(std::string_view what) {
    return Say(CtlText::Error, {what}) + '\n' + Say(CtlText::RunHelp) + '\n';
}

// CLI11's own messages (in English) in the form of the program's other errors.
std::string FailureMessage(const CLI::App*, const CLI::Error& e) {
    return UsageError(e.what());
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
    const CLI::Validator nonEmpty = NonEmpty(Say(CtlText::EmptyValue));
    app.get_option("--trace")->check(nonEmpty);
    app.add_option("--serial", options.filter.serial,
                   "Talk to the engine with this serial number, as list shows it")
        ->type_name("S")
        ->check(nonEmpty);
    app.add_option("--path", options.filter.path,
                   "Talk to the engine at this path, as list shows it (such as 1-1.2)")
        ->type_name("P")
        ->check(nonEmpty);
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

    if (const std::string option = OptionWithEmptyValue(app, args); !option.empty()) {
        err << UsageError(option + ": " + Say(CtlText::EmptyValue));
        return kExitUsage;
    }
    // Settings always hold a "=": a separate word without one after a bare --virtual-engine is
    // a command, or a mistyped one, never settings (the parser would take it for them).
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& next = args[i + 1];
        if (args[i] == "--virtual-engine" && next.find('=') == std::string::npos &&
            !next.starts_with('-') &&
            app.get_subcommands([&](const CLI::App* c) { return c->get_name() == next; }).empty()) {
            err << UsageError(Say(CtlText::UnknownCommand, {next}));
            return kExitUsage;
        }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
        const std::vector<std::string> extra = app.remaining();
        if (!chosen && !extra.empty() && !extra.front().starts_with('-')) {
            err << UsageError(Say(CtlText::UnknownCommand, {extra.front()}));
            return kExitUsage;
        }
        if (!extra.empty()) throw CLI::ExtrasError(extra);
        if (!chosen) {
            err << UsageError(Say(CtlText::NoCommand));
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
    err << Say(CtlText::Error, {why != 0 ? Say(CtlText::CannotWriteBecause, {std::strerror(why)})
                                         : Say(CtlText::CannotWrite)})
        << '\n';
    return code == kExitOk ? kExitFailed : code;
}

}  // namespace kq
