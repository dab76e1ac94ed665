// kq7300tool.exe: the window program of Windows.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/ctl.h"
#include "cli/empty_values.h"
#include "l10n/settings.h"
#include "os/os.h"
#include "upgrade/backup.h"
#include "upgrade/history.h"
#include "usb/backend.h"
#include "win32ui/tool_app.h"

namespace {

std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) args.push_back(kq::os::Utf8(wide[i]));
        LocalFree(wide);
    }
    return args;
}

// A window program has no console of its own: its answers go where its output was sent, else
// to the console it was started from, else into a message box.
void Answer(const std::string& text, bool error) {
    HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    HANDLE console = INVALID_HANDLE_VALUE;
    if ((!out || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
        out = console;
    }
    if (!out || out == INVALID_HANDLE_VALUE) {
        MessageBoxW(nullptr, kq::os::Wide(text).c_str(), L"kq7300tool",
                    MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
        return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        const std::wstring wide = kq::os::Wide(text);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    CLI::App cli{"Controls the KQ7300 light engine: power, LED, current, mirroring, firmware.",
                 "kq7300tool"};
    cli.set_version_flag("-V,--version", std::string("kq7300tool ") + KQ_VERSION,
                         "Print the version and exit");
    kq::BackendOptions options;
    kq::AddBackendOptions(cli, options);
    cli.get_option("--trace")->check(kq::NonEmpty("the value is empty"));
    std::vector<std::string> args = Arguments();
    if (!args.empty()) args.erase(args.begin());
    if (const std::string option = kq::OptionWithEmptyValue(cli, args); !option.empty()) {
        Answer("error: " + option + ": the value is empty\n", true);
        return kq::kExitUsage;
    }
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        cli.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const bool error = e.get_exit_code() != 0;
        std::ostringstream out, err;
        cli.exit(e, out, err);
        Answer(error ? err.str() : out.str(), error);
        return error ? kq::kExitUsage : kq::kExitOk;
    }
    kq::EngineLink engine;
    std::string problem;
    if (!kq::OpenEngineLink(options, engine, &problem)) {
        Answer("error: " + problem + "\n", true);
        return kq::kExitUsage;
    }

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    kq::ModulePathsRecord paths;
    kq::SystemLocale locale;
    kq::Settings settings(paths.moduleDir(), locale, kq::Settings::DefaultUserDir(),
                          kq::SystemConfig::OfThisBuild());
    kq::PageFlags flags;
    kq::win32ui::SystemProcesses processes;
    kq::PageContext context{*engine.link,
                            settings,
                            flags,
                            processes,
                            paths.fullPath(),
                            args,
                            nullptr,
                            kq::UpgradeBackupDirectory(),
                            kq::UpgradeHistoryFile()};
    kq::win32ui::ToolApp tool(context, engine.backend.hotplug, paths.moduleDir());
    tool.InitInstance();
    return 0;
}
