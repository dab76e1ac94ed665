#pragma once

#include <QTranslator>
#include <functional>
#include <string>

#include "devlink/platform.h"
#include "dialogs/context.h"
#include "dialogs/tool_app.h"
#include "pages/qt_services.h"

class QDialog;

namespace kq {

// Start-up with the Qt windows: the language question when Config.ini names none, then the main
// window for the life of the program.
class QtToolApp final : public StartUpView {
  public:
    QtToolApp(PageContext& context, QtServices& services, HotplugSource* hotplug,
              std::string moduleDir);

    // Always false: the program ends when the main window has closed.
    bool InitInstance();

    // Called with each dialog just before its modal run (tests answer the dialogs through it).
    std::function<void(QDialog&)> beforeModal;

    void RunLanguageDialog() override;
    void ShowMessage(const Message& message) override;
    void RunMainWindow() override;

  private:
    void UseFrameworkLanguage();

    PageContext& context_;
    QtServices& services_;
    QTranslator frameworkTexts_;
    HotplugSource* hotplug_;
    std::string moduleDir_;
};

// The whole program: command line, backend, link, settings and start-up.
int RunTool(int argc, char** argv);

}  // namespace kq
