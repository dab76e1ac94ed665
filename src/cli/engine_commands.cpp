#include "cli/engine_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>
#include <ostream>

#include "cli/ctl.h"
#include "cli/ctl_text.h"
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
    const std::string highest = std::to_string(KQ_LED_CURRENT_MAX);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return Say(CtlText::NotANumber, {text, highest});
    }
    const size_t first = std::min(text.find_first_not_of('0'), text.size());
    if (text.size() - first > 3 || std::stoi("0" + text.substr(first)) > KQ_LED_CURRENT_MAX) {
        return Say(CtlText::OutsideRange, {text, highest});
    }
    return {};
}

void SayError(CtlSession& s, CtlText text) {
    s.err() << Say(CtlText::Error, {Say(text)}) << '\n';
}

int Done(CtlSession& s, bool ok, CtlText what) {
    if (ok) return kExitOk;
    if (const int busy = s.ExplainIfBusy()) return busy;
    s.err() << Say(CtlText::Error, {Say(CtlText::NoAnswerWhile, {Say(what)})}) << '\n';
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
            SayError(s, CtlText::InLoader);
            return kExitFailed;
        case EngineState::None:
        case EngineState::Silent:
            break;
    }
    if (const int busy = s.ExplainIfBusy()) return busy;
    SayError(s, CtlText::NoAnswer);
    return kExitFailed;
}

// As --json names it.
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

CtlText ModeText(EngineState state) {
    switch (state) {
        case EngineState::Application:
            return CtlText::ModeApplication;
        case EngineState::Loader:
            return CtlText::ModeLoader;
        case EngineState::None:
        case EngineState::Silent:
            break;
    }
    return CtlText::ModeNoAnswer;
}

std::optional<int> ReadCurrent(CtlSession& s, CommandSet& commands) {
    uint8_t value = 0;
    if (!commands.GetLedCurrent(value)) {
        if (!s.ExplainIfBusy()) SayError(s, CtlText::NoCurrent);
        return std::nullopt;
    }
    if (value > KQ_LED_CURRENT_MAX) {
        s.err() << Say(CtlText::Error,
                       {Say(CtlText::CurrentOutside,
                            {std::to_string(static_cast<int>(value)), kCurrentRange})})
                << '\n';
        return std::nullopt;
    }
    return value;
}

// What status found out, printed once at the end, as text or as one JSON object.
struct StatusReport {
    bool connected = false;
    std::string path;
    std::string serial;
    std::optional<EngineState> mode;
    std::string productId;
    std::optional<int> current;

    void Print(CtlSession& s) const {
        if (s.json()) {
            JsonObject json;
            json.Bool("connected", connected);
            if (connected) json.String("path", path).StringOrNull("serial", serial);
            if (mode) json.String("mode", ModeName(*mode));
            if (!productId.empty()) json.String("product_id", productId);
            if (current) json.Number("led_current", *current);
            s.out() << json.str() << '\n';
            return;
        }
        std::ostream& out = s.out();
        out << Say(CtlText::StatusConnected, {Say(connected ? CtlText::Yes : CtlText::No)}) << '\n';
        if (connected) {
            out << Say(CtlText::StatusPath, {path}) << '\n'
                << Say(CtlText::StatusSerial, {serial.empty() ? Say(CtlText::Unknown) : serial})
                << '\n';
        }
        if (mode) out << Say(CtlText::StatusMode, {Say(ModeText(*mode))}) << '\n';
        if (!productId.empty()) out << Say(CtlText::StatusProductId, {productId}) << '\n';
        if (current) out << Say(CtlText::StatusCurrent, {std::to_string(*current)}) << '\n';
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
    report.mode = state;
    int code = kExitOk;
    if (state == EngineState::Silent) {
        // Held by another program is not "no answer": the engine was not asked.
        code = s.ExplainIfBusy();
        if (code) {
            report.mode.reset();
        } else {
            SayError(s, CtlText::NoAnswer);
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
            SayError(s, CtlText::NoProductId);
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
                    CtlText::WhileSettingCurrent);
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
                   return Done(s, commands.SetPower(*power == "on"), CtlText::WhileSwitchingPower);
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
                   return Done(s, commands.SetLedSwitch(*led == "on" ? 1 : 0),
                               CtlText::WhileSwitchingLed);
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
                   return Done(s, commands.SetFlip(x, y), CtlText::WhileSettingMirroring);
               })
        ->add_option("AXES", *axes)
        ->required()
        ->check(CLI::IsMember({"none", "x", "y", "xy"}));
}

}  // namespace kq
