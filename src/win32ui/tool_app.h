#pragma once

#include "win32ui/main_view.h"
#include "win32ui/page_views.h"
#include "win32ui/small_dialogs.h"

namespace kq {
class Settings;
}

namespace kq::win32ui {

// The main window with its three pages, wired as far as the windows themselves go: the pages
// in the tab control (LED, Flip, System), tab changes with the window sized around the page,
// the status bar's first texts, the About box and closing. The pages' and the main window's
// rules (what a button does, the tabs the settings offer, the engine's state) are not here:
// they come in through the views' events and show operations.
class ToolWindow {
  public:
    ToolWindow(Settings& settings, Translator translate);

    // Creates the windows; the main window shows at once (its template is visible).
    bool Create();
    // Runs the main window until it closes.
    void Run();

    MainView main;
    LedPageView led;
    SystemPageView system;
    FlipPageView flip;

  private:
    void OnInitDialog();
    void OnSelChange(int tab);
    void OnAbout();

    Settings& settings_;
    Translator translate_;
};

// The question of the first start, when Config.ini names no language: the two languages, the
// system's preselected; OK stores the choice and makes it the language in use. A choice that
// could not be stored is said once.
void AskLanguage(Settings& settings, const Translator& translate);

}  // namespace kq::win32ui
