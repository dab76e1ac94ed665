#pragma once

#include <QStringList>
#include <QTranslator>
#include <functional>
#include <string>

#include "devlink/platform.h"
#include "pages/page_context.h"

class QDialog;

namespace kq {

// Start-up: asks for a language when Config.ini names none, then runs the main window for the
// life of the program.
class CToolApp {
  public:
    CToolApp(PageContext& context, HotplugSource* hotplug, std::string moduleDir);

    // Always false: the program ends when the main window has closed.
    bool InitInstance();

    // Called with each dialog just before its modal run (tests answer the dialogs through it).
    std::function<void(QDialog&)> beforeModal;

  private:
    void UseFrameworkLanguage();

    PageContext& context_;
    QTranslator frameworkTexts_;
    HotplugSource* hotplug_;
    std::string moduleDir_;
};

// The whole program: command line, backend, link, settings and start-up.
int RunTool(int argc, char** argv);

}  // namespace kq
