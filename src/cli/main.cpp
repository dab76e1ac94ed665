#ifdef _WIN32
// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#endif

#include <iostream>

#include "cli/ctl.h"
#include "cli/ctl_text.h"

namespace {

// The arguments in UTF-8, as the program passes names on. Windows gives argv in its ANSI code
// page, which cannot hold every file name: there they come from the wide command line.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 1; i < count; ++i) {
            const int n =
                WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string arg(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
            args.push_back(std::move(arg));
        }
        LocalFree(wide);
        return args;
    }
#endif
    return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The output is UTF-8; a console shows it as such without a chcp first.
    SetConsoleOutputCP(CP_UTF8);
#endif
    kq::UseLocaleLanguage();
    return kq::RunCtl(Arguments(argc, argv), std::cout, std::cerr);
}
