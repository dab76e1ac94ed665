#pragma once

#include <string>

#include "dialogs/views.h"

namespace kq {

class Settings;

// Start-up: asks for a language when Config.ini names none, then runs the main window for the
// life of the program. The view runs the two dialogs modally (each with its own view over its
// logic) and shows the one message start-up may have.
class StartUpView {
  public:
    virtual ~StartUpView() = default;
    virtual void RunLanguageDialog() = 0;
    virtual void ShowMessage(const Message& message) = 0;
    virtual void RunMainWindow() = 0;
};

class CToolApp {
  public:
    CToolApp(Settings& settings, std::string moduleDir, StartUpView& view);
    // Always false: the program ends when the main window has closed.
    bool InitInstance();

  private:
    Settings& settings_;
    std::string moduleDir_;
    StartUpView& view_;
};

}  // namespace kq
