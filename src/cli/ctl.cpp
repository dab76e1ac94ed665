#include "cli/ctl.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "cli/upgrade_command.h"
#include "cli/usb_commands.h"
#include "devlink/commands.h"
#include "upgrade/backup.h"
#include "usb/backend.h"

namespace kq {
namespace {

// The LED current as the window's box takes it: decimal digits only (leading zeros too), 0-100.
std::string CheckCurrent(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return "'" + text + "' is not a number; N is 0 to 100, in decimal digits";
    }
    const size_t first = std::min(text.find_first_not_of('0'), text.size());
    if (text.size() - first > 3 || std::stoi("0" + text.substr(first)) > 100) {
        return text + " is outside 0 to 100";
    }
    return {};
}

struct Request {
    std::string command;
    std::string state;          // on|off, or the flip axes
    std::optional<int> number;  // current N
    UpgradeRequest upgrade;
};

class Session {
  public:
    Session(DeviceLink& link, std::ostream& out, std::ostream& err)
        : link_(link), commands_(link), out_(out), err_(err) {}

    int Run(const Request& r) {
        if (!link_.FindDevice()) return NotFound(r.command == "status");
        link_.DevicePresent = 1;
        if (r.command == "status") return Status();
        const DeviceMode mode = commands_.QueryDeviceMode();
        if (r.command == "upgrade") return Upgrade(mode, r.upgrade);
        if (r.command == "led") {
            if (mode == DeviceMode::None) return NotFound(false);
            return Done(commands_.SetLedSwitch(r.state == "on" ? 1 : 0), "switching the LED");
        }
        if (mode != DeviceMode::Application) {
            err_ << "error: the engine is not running its application firmware\n";
            return kExitFailed;
        }
        if (r.command == "power") {
            return Done(commands_.SetPower(r.state == "on"), "switching power");
        }
        if (r.command == "flip") {
            const bool x = r.state == "x" || r.state == "xy";
            const bool y = r.state == "y" || r.state == "xy";
            return Done(commands_.SetFlip(x, y), "setting the mirroring");
        }
        if (r.command == "current" && r.number) {
            return Done(commands_.SetLedCurrent(static_cast<uint8_t>(*r.number)),
                        "setting the LED current");
        }
        uint8_t value = 0;
        if (!ReadCurrent(value)) return kExitFailed;
        out_ << static_cast<int>(value) << '\n';
        return kExitOk;
    }

  private:
    int Upgrade(DeviceMode mode, UpgradeRequest request) {
        uint8_t id[8];
        if (mode == DeviceMode::Application && commands_.GetProductId(id)) {
            request.productId = FormatProductId(id);
        }
        request.backupDir = UpgradeBackupDirectory();
        return RunUpgradeCommand(link_, request, out_, err_);
    }

    int NotFound(bool printStatus) {
        if (printStatus) out_ << "connected: no\n";
        switch (link_.lastDiscoveryError()) {
            case OpenError::NoPermission:
                err_ << "error: an engine is attached but this user may not open it ("
                     << link_.lastDiscoveryDetail() << ").\n"
                     << "Install the udev rule that comes with the tool (see the README) and "
                        "plug the engine in again.\n";
                return kExitNoPermission;
            case OpenError::Busy:
                err_ << "error: an engine is attached but another program is using it ("
                     << link_.lastDiscoveryDetail() << ")\n";
                return kExitFailed;
            case OpenError::Other:
                err_ << "error: an engine is attached but cannot be opened ("
                     << link_.lastDiscoveryDetail() << ")\n";
                return kExitFailed;
            default:
                err_ << "error: no engine found\n";
                return kExitNoEngine;
        }
    }

    int Done(bool ok, const char* what) {
        if (ok) return kExitOk;
        err_ << "error: no answer from the engine while " << what << '\n';
        return kExitFailed;
    }

    bool ReadCurrent(uint8_t& value) {
        if (!commands_.GetLedCurrent(value)) {
            err_ << "error: the engine did not report its LED current\n";
            return false;
        }
        if (value > 100) {
            err_ << "error: the engine reported an LED current of " << static_cast<int>(value)
                 << ", outside 0-100\n";
            return false;
        }
        return true;
    }

    int Status() {
        out_ << "connected: yes\n";
        const DeviceMode mode = commands_.QueryDeviceMode();
        out_ << "mode: " << (mode == DeviceMode::Application ? "application" : "other") << '\n';
        if (mode != DeviceMode::Application) return kExitOk;
        uint8_t id[8];
        if (!commands_.GetProductId(id)) {
            err_ << "error: the engine did not report its product id\n";
            return kExitFailed;
        }
        out_ << "product-id: " << FormatProductId(id) << '\n';
        uint8_t value = 0;
        if (!ReadCurrent(value)) return kExitFailed;
        out_ << "led-current: " << static_cast<int>(value) << '\n';
        return kExitOk;
    }

    DeviceLink& link_;
    CommandSet commands_;
    std::ostream& out_;
    std::ostream& err_;
};

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Controls the KQ7300 light engine over USB.", "kq7300ctl"};
    app.require_subcommand(1);
    BackendOptions options;
    AddBackendOptions(app, options);
    Request request;

    const auto onOff = CLI::IsMember({"on", "off"});
    app.add_subcommand("status", "Show whether the engine is connected, its mode, id and current");
    app.add_subcommand("power", "Switch the engine's power")
        ->add_option("STATE", request.state)
        ->required()
        ->check(onOff);
    app.add_subcommand("led", "Switch the LED")
        ->add_option("STATE", request.state)
        ->required()
        ->check(onOff);
    std::string currentText;
    app.add_subcommand("current", "Read the LED current, or set it to N (0-100)")
        ->add_option("N", currentText, "LED current, 0-100")
        ->check(CLI::Validator(CheckCurrent, "0-100"));
    app.add_subcommand("flip", "Mirror the image")
        ->add_option("AXES", request.state)
        ->required()
        ->check(CLI::IsMember({"none", "x", "y", "xy"}));
    AddUpgradeCommand(app, request.upgrade);
    AddUsbCommands(app);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }
    request.command = app.get_subcommands().front()->get_name();
    if (!currentText.empty()) request.number = std::stoi(currentText);

    Backend backend;
    std::string error;
    if (!MakeBackend(options, backend, &error)) {
        err << "error: --virtual-engine: " << error << '\n';
        return kExitUsage;
    }
    DeviceLink link(*backend.platform);
    if (!options.tracePath.empty() && !link.trace().Open(options.tracePath)) {
        err << "error: cannot open trace file " << options.tracePath << '\n';
        return kExitUsage;
    }
    if (IsUsbCommand(request.command)) {
        return RunUsbCommand(request.command, backend, link, out, err);
    }
    return Session(link, out, err).Run(request);
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
