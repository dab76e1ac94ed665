#pragma once

#include <functional>
#include <string>
#include <vector>

#include "devlink/platform.h"
#include "dialogs/context.h"
#include "dialogs/tool_app.h"

namespace kq::win32ui {

class DialogWindow;

// Start-up with the Win32 windows: the language question when Config.ini names none, then the
// main window for the life of the program.
class ToolApp final : public StartUpView {
  public:
    ToolApp(PageContext& context, HotplugSource* hotplug, std::string moduleDir);

    // Always false: the program ends when the main window has closed.
    bool InitInstance();

    // Called with each window once it exists, just before its modal run (tests answer the
    // windows through it).
    std::function<void(DialogWindow&)> beforeModal;

    void RunLanguageDialog() override;
    void ShowMessage(const Message& message) override;
    void RunMainWindow() override;

  private:
    PageContext& context_;
    HotplugSource* hotplug_;
    std::string moduleDir_;
};

// The restart: a new instance of this program with the command line this one was given, as
// Windows keeps it (GetCommandLineW), which the logic's copy of the arguments came from; the
// same start-up information, environment and folder.
class SystemProcesses final : public ProcessStarter {
  public:
    bool StartDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override;
    void ExitNow(int code) override;
};

}  // namespace kq::win32ui
