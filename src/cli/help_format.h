#pragma once

// --help of both programs fitted to the terminal. CLI11 2.1 puts the descriptions in a second
// column but never breaks them; this formatter breaks them between words so that no line is
// wider than the terminal (80 columns when the help goes to a file or a pipe). Header-only, so
// that the window program uses it without the command line's library.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "os/os.h"

namespace kq {

// Breaks each line of text between words into lines of at most width characters; a word
// longer than that stands on a line of its own.
inline std::string WrapText(std::string_view text, size_t width) {
    std::string out;
    while (true) {
        const size_t eol = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, eol);
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width);
            if (cut == std::string_view::npos || cut == 0) cut = line.find(' ', width);
            if (cut == std::string_view::npos) break;
            out.append(line.substr(0, cut)).push_back('\n');
            line.remove_prefix(cut + 1);
        }
        out.append(line);
        if (eol == text.size()) return out;
        out.push_back('\n');
        text.remove_prefix(eol + 1);
    }
}

class WrappingHelpFormatter final : public CLI::Formatter {
  public:
    // The first column keeps CLI11's 30 characters from 80 columns on, less below.
    explicit WrappingHelpFormatter(size_t width) : width_(width) {
        column_width(std::min<size_t>(column_width_, width * 3 / 8));
    }

    std::string make_option_desc(const CLI::Option* option) const override {
        return WrapText(CLI::Formatter::make_option_desc(option), DescriptionWidth());
    }
    std::string make_subcommand(const CLI::App* command) const override {
        std::stringstream out;
        CLI::detail::format_help(out, command->get_display_name(true),
                                 WrapText(command->get_description(), DescriptionWidth()),
                                 column_width_);
        return out.str();
    }
    std::string make_description(const CLI::App* app) const override {
        return WrapText(CLI::Formatter::make_description(app), width_);
    }
    std::string make_footer(const CLI::App* app) const override {
        return WrapText(CLI::Formatter::make_footer(app), width_);
    }

  private:
    size_t DescriptionWidth() const { return width_ - column_width_; }

    size_t width_;
};

// The terminal's width, or 80 where standard output is no terminal.
inline size_t HelpWidth() {
    const unsigned columns = os::StandardOutputColumns();
    return columns > 0 ? columns : 80;
}

// For the app and the commands added to it afterwards, which take its formatter.
inline void WrapHelp(CLI::App& app, size_t width = HelpWidth()) {
    app.formatter(std::make_shared<WrappingHelpFormatter>(width));
}

}  // namespace kq
