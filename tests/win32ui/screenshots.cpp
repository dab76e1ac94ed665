// Shows the Win32 windows one after the other for scripts/windows-screenshots.sh: the main
// window on each page, the language question and the About box, in English and in Simplified
// Chinese. For each picture it prints "shot NAME X Y WIDTH HEIGHT" (the window's place on the
// screen) and waits for a line on its input, while the script takes the picture.
#include <iostream>
#include <string>

#include "win32ui/tool_window.h"
#include "window_driver.h"

namespace {

using namespace kq::win32ui;
using kq::testing::FixedLocale;

// Lets the windows paint, then hands over to the script.
bool Shoot(HWND window, const std::string& name) {
    // The window shown is the active one, as a user sees it (the first window a process shows
    // is not always made so at once).
    SetForegroundWindow(window);
    SendMessageW(window, WM_NCACTIVATE, TRUE, 0);
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    for (int i = 0; i < 5; ++i) {
        PumpUiMessages();
        Sleep(20);
    }
    RECT r{};
    GetWindowRect(window, &r);
    std::cout << "shot " << name << ' ' << r.left << ' ' << r.top << ' ' << r.right - r.left << ' '
              << r.bottom - r.top << std::endl;
    std::string line;
    return static_cast<bool>(std::getline(std::cin, line));
}

}  // namespace

int main() {
    kq::testing::InitControls();
    kq::ModulePathsRecord paths;
    // A scratch folder stands for the program's: no Config.ini of anyone's changes the pictures.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::string scratch = kq::os::Utf8(temp);
    const char* names[] = {"led", "flip", "system"};
    for (const char* language : {"English", "SimpChinese"}) {
        const bool chinese = std::string(language) == "SimpChinese";
        FixedLocale locale(chinese ? kq::kLangChinese : kq::kLangEnglish);
        kq::Settings settings(scratch, locale);
        settings.CurrentLanguageFile = paths.moduleDir() + "Language\\" + language + ".lang";
        const Translator translate = [&settings](std::string_view key) {
            return settings.Translate(key);
        };
        std::string suffix = chinese ? "simpchinese" : "english";
        {
            ToolWindow window(settings, translate);
            if (!window.Create()) return 1;
            for (int tab = 0; tab < window.main.TabCount(); ++tab) {
                kq::testing::SelectTab(window.main, tab);
                if (!Shoot(window.main.hwnd(), std::string("main-") + names[tab] + "-" + suffix)) {
                    return 1;
                }
            }
            AboutView about(translate);
            about.Create(window.main.hwnd());
            about.Show(true);
            if (!Shoot(about.hwnd(), "about-" + suffix)) return 1;
        }
        LanguageView question(translate);
        question.Create();
        question.AddListEntry(IDC_LANGUAGE_LIST, "ConfigGeneral.English");
        question.AddListEntry(IDC_LANGUAGE_LIST, "ConfigGeneral.SimpChinese");
        question.SetListSel(IDC_LANGUAGE_LIST, chinese ? 1 : 0);
        question.Show(true);
        if (!Shoot(question.hwnd(), "language-" + suffix)) return 1;
    }
    return 0;
}
