#include "cli/help_format.h"

#include <gtest/gtest.h>

namespace kq {
namespace {

TEST(WrapText, BreaksBetweenWordsWithinTheWidth) {
    struct Case {
        const char* text;
        size_t width;
        const char* wrapped;
    };
    const Case cases[] = {
        {"", 10, ""},
        {"short", 10, "short"},
        {"exactly ten", 11, "exactly ten"},
        {"one two three four", 9, "one two\nthree\nfour"},
        {"a verylongword b", 5, "a\nverylongword\nb"},
        {"verylongword", 5, "verylongword"},
        // Lines already broken stay broken; each is fitted on its own.
        {"first line\nsecond line here", 11, "first line\nsecond line\nhere"},
        {"ends in a break\n", 40, "ends in a break\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WrapText(c.text, c.width), c.wrapped) << c.text << " at " << c.width;
    }
}

// Every line of the help fits the width given; the descriptions stay in their column.
TEST(WrappingHelpFormatter, FitsTheWidthGiven) {
    std::string words;
    for (int i = 0; i < 30; ++i) words += "word" + std::to_string(i) + " ";
    for (const size_t width : {40u, 80u, 120u}) {
        CLI::App app(words, "p");
        WrapHelp(app, width);
        app.add_flag("--flag")->description(words);
        app.add_subcommand("command", words);
        const std::string help = app.help();
        std::istringstream lines(help);
        size_t widest = 0;
        for (std::string line; std::getline(lines, line);) {
            widest = std::max(widest, line.size());
            EXPECT_LE(line.size(), width) << line;
        }
        EXPECT_GT(widest, width - 8) << "lines broken too early at " << width;
        const size_t column = std::min<size_t>(30, width * 3 / 8);
        EXPECT_NE(help.find("  --flag" + std::string(column - 8, ' ') + "word0 "),
                  std::string::npos)
            << help;
        EXPECT_NE(help.find("\n" + std::string(column, ' ') + "word"), std::string::npos) << help;
    }
}

}  // namespace
}  // namespace kq
