// Shows the Win32 windows one after the other for scripts/windows-screenshots.sh: the main
// window on each page over a virtual engine (connected, its id and LED current shown), the
// language question and the About box, in English and in Simplified Chinese. For each picture
// it prints "shot NAME X Y WIDTH HEIGHT" (the window's place on the screen) and waits for a line
// on its input, while the script takes the picture.
#include <filesystem>
#include <iostream>
#include <string>

#include "devlink/link.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"
#include "upgrade/history.h"
#include "win32ui/main_window.h"
#include "win32ui/small_dialogs.h"
#include "window_driver.h"

namespace {

using namespace kq::win32ui;

struct FixedLocale final : kq::LocaleSource {
    unsigned SystemDefaultLanguage() const override { return language; }
    unsigned language = kq::kLangEnglish;
};

struct NoProcesses final : kq::ProcessStarter {
    bool StartDetached(const std::string&, const std::vector<std::string>&) override {
        return false;
    }
    void ExitNow(int) override {}
};

// Lets the windows paint, then hands over to the script.
bool Shoot(HWND window, const std::string& name) {
    // The window shown is the active one, as a user sees it (the first window a process shows
    // is not always made so at once).
    SetForegroundWindow(window);
    SendMessageW(window, WM_NCACTIVATE, TRUE, 0);
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    kq::test::PumpFor(std::chrono::milliseconds(100));
    RECT r{};
    GetWindowRect(window, &r);
    std::cout << "shot " << name << ' ' << r.left << ' ' << r.top << ' ' << r.right - r.left << ' '
              << r.bottom - r.top << std::endl;
    std::string line;
    return static_cast<bool>(std::getline(std::cin, line));
}

}  // namespace

int main() {
    kq::test::InitControls();
    kq::ModulePathsRecord paths;
    // A scratch folder stands for the program's: no Config.ini of anyone's changes the pictures.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::string scratch = kq::os::Utf8(temp);
    // A history of one run of the virtual engine, for the System page's last-upgrade line.
    const std::filesystem::path history = kq::os::PathFromUtf8(scratch + "kq7300-shots.jsonl");
    std::error_code ignored;
    std::filesystem::remove(history, ignored);
    kq::HistoryEntry run;
    run.time = "2026-01-15T10:30:00+01:00";
    run.serial = kq::kEngineInstance;
    run.productId = "0A-1B-2C-3D-4E-5F";
    run.place = "virtual-1";
    run.image = "firmware-2.1.enc";
    run.outcome = "success";
    std::string historyError;
    kq::AppendHistory(history, run, historyError);
    const char* names[] = {"led", "flip", "system"};
    for (const char* language : {"English", "SimpChinese"}) {
        const bool chinese = std::string(language) == "SimpChinese";
        FixedLocale locale;
        locale.language = chinese ? kq::kLangChinese : kq::kLangEnglish;
        kq::Settings settings(scratch, locale);
        settings.CurrentLanguageFile = paths.moduleDir() + "Language\\" + language + ".lang";
        const std::string suffix = chinese ? "simpchinese" : "english";
        {
            kq::VirtualBus bus;
            std::string error;
            bus.Plug(*kq::ParseEngineSettings("current=65", &error));
            kq::DeviceLink link(bus);
            kq::PageFlags flags;
            NoProcesses processes;
            kq::PageContext context{link, settings, flags, processes, "", {}};
            context.historyFile = history;
            MainWindow window(context, &bus);
            if (!window.Create()) return 1;
            kq::test::Settle(window);
            for (int tab = 0; tab < window.TabCount(); ++tab) {
                kq::test::SelectTab(window, tab);
                kq::test::Settle(window);
                if (!Shoot(window.hwnd(), std::string("main-") + names[tab] + "-" + suffix)) {
                    return 1;
                }
            }
            AboutView about(settings);
            about.Create(window.hwnd());
            about.Show(true);
            if (!Shoot(about.hwnd(), "about-" + suffix)) return 1;
        }
        LanguageDialog question(settings);
        question.Create();
        question.Show(true);
        if (!Shoot(question.hwnd(), "language-" + suffix)) return 1;
    }
    std::filesystem::remove(history, ignored);
    return 0;
}
