#include "win32ui/tool_app.h"

#include <windows.h>

#include "os/os.h"
#include "win32ui/main_window.h"
#include "win32ui/small_dialogs.h"
#include "win32ui/system_dialogs.h"

namespace kq::win32ui {

ToolApp::ToolApp(PageContext& context, HotplugSource* hotplug, std::string moduleDir)
    : context_(context), hotplug_(hotplug), moduleDir_(std::move(moduleDir)) {}

bool ToolApp::InitInstance() {
    return CToolApp(context_.settings, moduleDir_, *this).InitInstance();
}

void ToolApp::RunLanguageDialog() {
    LanguageDialog language(context_.settings);
    if (!language.Create()) return;
    if (beforeModal) beforeModal(language);
    language.DoModal();
}

void ToolApp::ShowMessage(const Message& message) {
    win32ui::ShowMessage(nullptr, message);
}

void ToolApp::RunMainWindow() {
    MainWindow main(context_, hotplug_);
    if (!main.Create()) return;
    if (beforeModal) beforeModal(main);
    main.DoModal();
}

bool SystemProcesses::StartDetached(const std::string& program, const std::vector<std::string>&) {
    std::wstring commandLine = GetCommandLineW();  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(os::Wide(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

void SystemProcesses::ExitNow(int code) {
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace kq::win32ui
