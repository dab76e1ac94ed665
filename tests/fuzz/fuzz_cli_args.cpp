// kq7300ctl's argument parsing on any list of arguments, parsed only (nothing runs, no device
// or file is touched): nothing escapes but an exit code; a usage error is exit code 2 and says
// why; `current N` takes N as decimal digits, 0 to 100, and sets just that on a virtual engine;
// the options give the same request before the command as after it.
//
// Input: the arguments, separated by zero bytes (at most 16 of them).

#include <CLI/CLI.hpp>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/ctl.h"
#include "cli/session.h"
#include "emulator/virtual_engine.h"
#include "fuzz_support.h"

using namespace kq;

namespace {

constexpr size_t kMaxArguments = 16;

// A parse's outcome in a form that compares.
struct Parsed {
    int code = 0;
    bool runs = false;
    std::string out, err;
    std::string command;
    std::vector<std::pair<std::string, std::vector<std::string>>> arguments;  // the command's
    bool virtualEngine = false;
    std::vector<std::string> engineSettings;
    std::string trace, serial, path, place;
    bool json = false;

    bool SameRequest(const Parsed& o) const {
        return runs == o.runs && command == o.command && arguments == o.arguments &&
               virtualEngine == o.virtualEngine && engineSettings == o.engineSettings &&
               trace == o.trace && serial == o.serial && path == o.path && place == o.place &&
               json == o.json;
    }
};

Parsed Parse(const std::vector<std::string>& args) {
    CtlRequest request;
    std::ostringstream out, err;
    Parsed p;
    p.code = ParseCtl(args, request, out, err);
    p.out = out.str();
    p.err = err.str();
    p.runs = static_cast<bool>(request.command);
    if (!p.runs) return p;
    const std::vector<CLI::App*> commands = request.parser->get_subcommands();
    KQ_FUZZ_CHECK(commands.size() == 1);
    p.command = commands[0]->get_name();
    for (const CLI::Option* option : commands[0]->get_options()) {
        if (option->count() > 0) p.arguments.emplace_back(option->get_name(), option->results());
    }
    const CtlOptions& o = request.options;
    p.virtualEngine = o.backend.useVirtualEngine();
    p.engineSettings = o.backend.engineSettings;
    p.trace = o.backend.tracePath;
    p.serial = o.filter.serial;
    p.path = o.filter.path;
    p.place = o.filter.place;
    p.json = o.json;
    return p;
}

bool IsDecimal(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == s.npos;
}

// The decimal value of digits, saturated far above 100.
unsigned DecimalValue(std::string_view digits) {
    unsigned value = 0;
    for (char c : digits) value = std::min(value * 10 + static_cast<unsigned>(c - '0'), 1000u);
    return value;
}

// `current N` run for real against a virtual engine that starts at another current.
void CheckCurrentIsSent(const std::string& n, unsigned expected) {
    const std::string start = expected == 7 ? "8" : "7";
    CtlRequest request;
    std::ostringstream out, err;
    KQ_FUZZ_CHECK(ParseCtl({"--virtual-engine=current=" + start, "current", n}, request, out,
                           err) == kExitOk);
    KQ_FUZZ_CHECK(request.command);
    CtlSession session(request.options, out, err);
    KQ_FUZZ_CHECK(session.Open() == kExitOk);
    KQ_FUZZ_CHECK(request.command(session) == kExitOk);
    KQ_FUZZ_CHECK(session.backend().engines.size() == 1);
    KQ_FUZZ_CHECK(session.backend().engines[0]->current() == expected);
}

// The global options as they were understood, each in its "--name=value" form.
std::vector<std::string> GlobalOptions(const Parsed& p) {
    std::vector<std::string> args;
    for (const std::string& settings : p.engineSettings) {
        args.push_back("--virtual-engine=" + settings);
    }
    if (p.virtualEngine && p.engineSettings.empty()) args.push_back("--virtual-engine");
    if (!p.trace.empty()) args.push_back("--trace=" + p.trace);
    if (!p.serial.empty()) args.push_back("--serial=" + p.serial);
    if (!p.path.empty()) args.push_back("--path=" + p.path);
    if (!p.place.empty()) args.push_back("--path=" + p.place);
    if (p.json) args.push_back("--json");
    return args;
}

// The command and its own arguments; false when a value could not be given on its own (one
// that looks like an option).
bool CommandPart(const Parsed& p, std::vector<std::string>& args) {
    args.push_back(p.command);
    for (const auto& [name, values] : p.arguments) {
        for (const std::string& value : values) {
            if (name.starts_with('-')) {
                args.push_back(name + "=" + value);
            } else if (value.starts_with('-')) {
                return false;
            } else {
                args.push_back(value);
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (size_t begin = 0; begin <= input.size() && args.size() < kMaxArguments;) {
        size_t end = input.find('\0', begin);
        if (end == input.npos) end = input.size();
        args.emplace_back(input.substr(begin, end - begin));
        begin = end + 1;
    }
    if (input.empty()) args.clear();

    const Parsed parsed = Parse(args);
    if (parsed.runs) {
        KQ_FUZZ_CHECK(parsed.code == kExitOk && parsed.out.empty() && parsed.err.empty());
    } else if (parsed.code == kExitOk) {  // --help or --version
        KQ_FUZZ_CHECK(!parsed.out.empty() && parsed.err.empty());
    } else {
        KQ_FUZZ_CHECK(parsed.code == kExitUsage);
        KQ_FUZZ_CHECK(parsed.out.empty() && parsed.err.starts_with("error: ") &&
                      parsed.err.size() > 8);
    }
    if (!parsed.runs) {
        // The program itself stops there too, with the same words.
        std::ostringstream out, err;
        KQ_FUZZ_CHECK(RunCtl(args, out, err) == parsed.code);
        KQ_FUZZ_CHECK(out.str() == parsed.out && err.str() == parsed.err);
    }

    // `current N` for every N that is no option and not the parser's "++" (which ends the
    // command's words): taken exactly when it is decimal digits worth 0 to 100.
    if (args.size() == 2 && args[0] == "current" && !args[1].starts_with('-') && args[1] != "++") {
        KQ_FUZZ_CHECK(parsed.runs == (IsDecimal(args[1]) && DecimalValue(args[1]) <= 100));
    }
    if (parsed.runs && parsed.command == "current" && !parsed.arguments.empty()) {
        KQ_FUZZ_CHECK(parsed.arguments.size() == 1 && parsed.arguments[0].second.size() == 1);
        const std::string& n = parsed.arguments[0].second[0];
        KQ_FUZZ_CHECK(IsDecimal(n) && DecimalValue(n) <= 100);
        CheckCurrentIsSent(n, DecimalValue(n));
    }

    // The same request with every option before the command, and with every option after it.
    if (!parsed.runs) return 0;
    const std::vector<std::string> options = GlobalOptions(parsed);
    std::vector<std::string> command;
    if (!CommandPart(parsed, command)) return 0;
    std::vector<std::string> first = options;
    first.insert(first.end(), command.begin(), command.end());
    std::vector<std::string> last = command;
    last.insert(last.end(), options.begin(), options.end());
    KQ_FUZZ_CHECK(Parse(first).SameRequest(parsed));
    KQ_FUZZ_CHECK(Parse(last).SameRequest(parsed));
    return 0;
}
