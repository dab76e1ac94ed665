#pragma once

// Option values that are empty. CLI11 takes "--name=" for the option given without its value
// and makes the next word the value ("--serial= --json status" would look for the serial
// "--json", "--trace= --virtual-engine" would trace into a file named "--virtual-engine"), and
// takes "--name ''" for a value that quietly means the option left out. Both programs refuse
// them instead. Header-only, so that the window programs use it without the command line's
// library.

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace kq {

// The option named by the first argument "--name=" with nothing after the "=", if that option
// needs a value; "" when there is none. Words after "--" are no options.
inline std::string OptionWithEmptyValue(CLI::App& app, const std::vector<std::string>& args) {
    std::vector<CLI::App*> apps = app.get_subcommands([](const CLI::App*) { return true; });
    apps.push_back(&app);
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (!arg.starts_with("--") || !arg.ends_with('=')) continue;
        const std::string name = arg.substr(0, arg.size() - 1);
        for (CLI::App* a : apps) {
            const CLI::Option* option = a->get_option_no_throw(name);
            if (option != nullptr && option->get_expected_min() > 0) return name;
        }
    }
    return {};
}

// A check that refuses an empty value with the words `why`.
inline CLI::Validator NonEmpty(std::string why) {
    return CLI::Validator(
        [why = std::move(why)](const std::string& value) { return value.empty() ? why : ""; }, "");
}

}  // namespace kq
