#include "app/tool_app.h"

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QLibraryInfo>
#include <filesystem>
#include <iostream>

#include "app/app_font.h"
#include "app/qt_language_dialog.h"
#include "app/qt_main_window.h"
#include "app/screenshots.h"
#include "app/warm_up.h"
#include "cli/ctl.h"
#include "cli/empty_values.h"
#include "cli/help_format.h"
#include "devlink/link.h"
#include "l10n/settings.h"
#include "pages/qt_services.h"
#include "upgrade/backup.h"
#include "upgrade/history.h"
#include "usb/backend.h"

namespace kq {

QtToolApp::QtToolApp(PageContext& context, QtServices& services, HotplugSource* hotplug,
                     std::string moduleDir)
    : context_(context), services_(services), hotplug_(hotplug), moduleDir_(std::move(moduleDir)) {}

bool QtToolApp::InitInstance() {
    return CToolApp(context_.settings, moduleDir_, *this).InitInstance();
}

void QtToolApp::RunLanguageDialog() {
    // The main window sets the program's icon only once it is on the screen.
    QApplication::setWindowIcon(ProgramIcon());
    QtLanguageDialog language(context_.settings, services_);
    language.OnInitDialog();
    if (beforeModal) beforeModal(language);
    language.exec();
}

void QtToolApp::ShowMessage(const Message& message) {
    services_.messages.Show(nullptr, message);
}

void QtToolApp::RunMainWindow() {
    UseFrameworkLanguage();
    QtMainWindow main(context_, services_, hotplug_);
    main.OnInitDialog();
    if (beforeModal) beforeModal(main);
    main.exec();
}

// The framework's own texts (standard buttons, the file dialog) follow the language in use.
void QtToolApp::UseFrameworkLanguage() {
    if (std::filesystem::path(context_.settings.CurrentLanguageFile).filename() !=
        "SimpChinese.lang") {
        return;
    }
    if (frameworkTexts_.load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&frameworkTexts_);
    }
}

int RunTool(int argc, char** argv) {
    CLI::App cli{"Controls the KQ7300 light engine: power, LED, current, mirroring, firmware.",
                 "kq7300tool"};
    WrapHelp(cli);
    cli.set_version_flag("-V,--version", std::string("kq7300tool ") + KQ_VERSION,
                         "Print the version and exit");
    BackendOptions options;
    AddBackendOptions(cli, options);
    cli.get_option("--trace")->check(NonEmpty("the value is empty"));
    std::string screenshotDir;
    cli.add_option("--screenshot", screenshotDir)->group("");  // for the documentation only
    auto parse = [&](int count, char** args) {
        try {
            cli.parse(count, args);
        } catch (const CLI::ParseError& e) {
            return cli.exit(e) == 0 ? 0 : static_cast<int>(kExitUsage);
        }
        return -1;
    };
    // Help, version and usage errors need no display, so they are answered before the window
    // system opens. Qt's own options (one dash: -platform, -style, ...) are left to
    // QApplication, which takes them out; the program's own have two dashes (-h and -V aside).
    cli.allow_extras();
    if (const std::string option = OptionWithEmptyValue(cli, {argv + 1, argv + argc});
        !option.empty()) {
        std::cerr << "error: " << option << ": the value is empty\n";
        return kExitUsage;
    }
    if (const int code = parse(argc, argv); code >= 0) return code;
    for (const std::string& extra : cli.remaining()) {
        if (extra.starts_with("--")) {
            std::cerr << "error: unknown option " << extra << '\n';
            return kExitUsage;
        }
    }
    const std::jthread sessionBus = StartConnectingSessionBus();
    std::future<ConfiguredFont> fontConfiguration = StartReadingFontConfiguration();
    // The link, before the window system: a wrong --virtual-engine or trace file needs no display.
    EngineLink engine;
    std::string error;
    if (!OpenEngineLink(options, engine, &error)) {
        std::cerr << "error: " << error << '\n';
        return kExitUsage;
    }

    // The restart repeats the command line as given; QApplication takes its own options out.
    const std::vector<std::string> commandLine(argv + 1, argv + argc);
    QApplication app(argc, argv);
    cli.allow_extras(false);
    if (const int code = parse(argc, argv); code >= 0) return code;
    DeviceLink& link = *engine.link;

    ModulePathsRecord paths;
    SystemLocale locale;
    Settings settings(paths.moduleDir(), locale, Settings::DefaultUserDir(),
                      SystemConfig::OfThisBuild());
    PageFlags flags;
    QtMessagePresenter messages;
    QtFileDialogProvider files;
    QtServices services{messages, files};
    QtProcessStarter processes;
    PageContext context{link,
                        settings,
                        flags,
                        processes,
                        paths.fullPath(),
                        commandLine,
                        nullptr,
                        UpgradeBackupDirectory(),
                        UpgradeHistoryFile()};
    ChooseFont(fontConfiguration.get());
    const std::jthread fontsAndImages = StartReadyingFontsAndImages();

    if (!screenshotDir.empty()) {
        return TakeScreenshots(context, services, engine.backend.hotplug,
                               QString::fromStdString(screenshotDir));
    }
    QtToolApp tool(context, services, engine.backend.hotplug, paths.moduleDir());
    tool.InitInstance();
    return 0;
}

}  // namespace kq
