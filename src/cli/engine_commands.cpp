#include "cli/engine_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>
#include <ostream>

#include "cli/ctl.h"
#include "cli/json.h"
#include "devlink/commands.h"
#include "res/resource.h"

namespace kq {
namespace {

// "0-100": the currents the engine takes.
const std::string kCurrentRange = "0-" + std::to_string(KQ_LED_CURRENT_MAX);

// The LED current as the window's box takes it: decimal digits only (leading zeros too), 0 to
// the maximum.
std::string CheckCurrent(const std::string& text) {
    const std::string range = "0 to " + std::to_string(KQ_LED_CURRENT_MAX);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return "'" + text + "' is not a number; N is " + range + ", in decimal digits";
    }
    const size_t first = std::min(text.find_first_not_of('0'), text.size());
    if (text.size() - first > 3 || std::stoi("0" + text.substr(first)) > KQ_LED_CURRENT_MAX) {
        return text + " is outside " + range;
    }
    return {};
}

int Done(CtlSession& s, bool ok, const char* what) {
    if (ok) return kExitOk;
    if (const int busy = s.ExplainIfBusy()) return busy;
    s.err() << "error: no answer from the engine while " << what << '\n';
    return kExitFailed;
}

// Finds the engine and asks its mode; power, mirroring and current need the application
// firmware. An engine that gives no answer is not taken for one in its loader.
int FindApplication(CtlSession& s, CommandSet& commands) {
    if (const int code = s.FindEngine(); code != kExitOk) return code;
    switch (commands.QueryEngineState()) {
        case EngineState::Application:
            return kExitOk;
        case EngineState::Loader:
            s.err() << "error: the engine is running its loader, not its firmware; run the "
                       "firmware upgrade (again)\n";
            return kExitFailed;
        case EngineState::None:
        case EngineState::Silent:
            break;
    }
    if (const int busy = s.ExplainIfBusy()) return busy;
    s.err() << "error: the engine does not answer\n";
    return kExitFailed;
}

const char* ModeName(EngineState state) {
    switch (state) {
        case EngineState::Application:
            return "application";
        case EngineState::Loader:
            return "loader";
        case EngineState::None:
        case EngineState::Silent:
            break;
    }
    return "no-answer";
}

std::optional<int> ReadCurrent(CtlSession& s, CommandSet& commands) {
    uint8_t value = 0;
    if (!commands.GetLedCurrent(value)) {
        if (!s.ExplainIfBusy()) s.err() << "error: the engine did not report its LED current\n";
        return std::nullopt;
    }
    if (value > KQ_LED_CURRENT_MAX) {
        s.err() << "error: the engine reported an LED current of " << static_cast<int>(value)
                << ", outside " << kCurrentRange << '\n';
        return std::nullopt;
    }
    return value;
}

// What status found out, printed once at the end, as text or as one JSON object.
struct StatusReport {
    bool connected = false;
    std::string path;
    std::string serial;
    const char* mode = nullptr;
    std::string productId;
    std::optional<int> current;

    void Print(CtlSession& s) const {
        if (s.json()) {
            JsonObject json;
            json.Bool("connected", connected);
            if (connected) json.String("path", path).StringOrNull("serial", serial);
            if (mode) json.String("mode", mode);
            if (!productId.empty()) json.String("product_id", productId);
            if (current) json.Number("led_current", *current);
            s.out() << json.str() << '\n';
            return;
        }
        s.out() << "connected: " << (connected ? "yes" : "no") << '\n';
        if (connected) {
            s.out() << "path: " << path << '\n'
                    << "serial: " << (serial.empty() ? "unknown" : serial) << '\n';
        }
        if (mode) s.out() << "mode: " << mode << '\n';
        if (!productId.empty()) s.out() << "product-id: " << productId << '\n';
        if (current) s.out() << "led-current: " << *current << '\n';
    }
};

int Status(CtlSession& s) {
    if (const int code = s.RefuseSeveralEngines(); code != kExitOk) return code;
    StatusReport report;
    if (!s.FindChosenEngine()) {
        report.Print(s);
        return s.ExplainNotFound();
    }
    report.connected = true;
    report.path = EngineName(s.link().devicePlace(), s.link().devicePath());
    report.serial = s.link().deviceSerial();
    CommandSet commands(s.link());
    const EngineState state = commands.QueryEngineState();
    report.mode = ModeName(state);
    int code = kExitOk;
    if (state == EngineState::Silent) {
        // Held by another program is not "no answer": the engine was not asked.
        code = s.ExplainIfBusy();
        if (code) {
            report.mode = nullptr;
        } else {
            s.err() << "error: the engine does not answer\n";
            code = kExitFailed;
        }
    }
    if (state == EngineState::Application) {
        uint8_t id[8];
        if (commands.GetProductId(id)) {
            report.productId = FormatProductId(id);
            report.current = ReadCurrent(s, commands);
            if (!report.current) code = s.FailureCode();
        } else if (!(code = s.ExplainIfBusy())) {
            s.err() << "error: the engine did not report its product id\n";
            code = kExitFailed;
        }
    }
    report.Print(s);
    return code;
}

int Current(CtlSession& s, const std::string& text) {
    CommandSet commands(s.link());
    if (const int code = FindApplication(s, commands); code != kExitOk) return code;
    if (!text.empty()) {
        return Done(s, commands.SetLedCurrent(static_cast<uint8_t>(std::stoi(text))),
                    "setting the LED current");
    }
    const auto value = ReadCurrent(s, commands);
    if (!value) return s.FailureCode();
    if (s.json()) {
        s.out() << JsonObject().Number("led_current", *value).str() << '\n';
    } else {
        s.out() << *value << '\n';
    }
    return kExitOk;
}

}  // namespace

void AddEngineCommands(CLI::App& app, CtlCommand& chosen) {
    AddCommand(app, chosen, "status",
               "Show whether the engine is connected, its mode, id and current", Status);

    // Each command keeps its arguments beside its work, alive as long as the parser.
    const auto onOff = CLI::IsMember({"on", "off"});
    auto power = std::make_shared<std::string>();
    AddCommand(app, chosen, "power", "Switch the engine's power",
               [power](CtlSession& s) {
                   CommandSet commands(s.link());
                   if (const int code = FindApplication(s, commands); code != kExitOk) return code;
                   return Done(s, commands.SetPower(*power == "on"), "switching power");
               })
        ->add_option("STATE", *power)
        ->required()
        ->check(onOff);

    auto led = std::make_shared<std::string>();
    AddCommand(app, chosen, "led", "Switch the LED",
               [led](CtlSession& s) {
                   if (const int code = s.FindEngine(); code != kExitOk) return code;
                   CommandSet commands(s.link());
                   if (commands.QueryDeviceMode() == DeviceMode::None) return s.ExplainNotFound();
                   return Done(s, commands.SetLedSwitch(*led == "on" ? 1 : 0), "switching the LED");
               })
        ->add_option("STATE", *led)
        ->required()
        ->check(onOff);

    auto current = std::make_shared<std::string>();
    AddCommand(app, chosen, "current",
               "Read the LED current, or set it to N (" + kCurrentRange + ")",
               [current](CtlSession& s) { return Current(s, *current); })
        ->add_option("N", *current, "LED current, " + kCurrentRange + ", in decimal digits")
        ->check(CLI::Validator(CheckCurrent, kCurrentRange));

    auto axes = std::make_shared<std::string>();
    AddCommand(app, chosen, "flip", "Mirror the image",
               [axes](CtlSession& s) {
                   CommandSet commands(s.link());
                   if (const int code = FindApplication(s, commands); code != kExitOk) return code;
                   const bool x = *axes == "x" || *axes == "xy";
                   const bool y = *axes == "y" || *axes == "xy";
                   return Done(s, commands.SetFlip(x, y), "setting the mirroring");
               })
        ->add_option("AXES", *axes)
        ->required()
        ->check(CLI::IsMember({"none", "x", "y", "xy"}));
}

}  // namespace kq
