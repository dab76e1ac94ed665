#include "app/tool_app.h"

#include <kq_version.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <filesystem>
#include <iostream>

#include "app/language_dlg.h"
#include "app/main_dlg.h"
#include "app/screenshots.h"
#include "cli/help_format.h"
#include "devlink/link.h"
#include "l10n/settings.h"
#include "pages/qt_services.h"
#include "pages/window_tools.h"
#include "upgrade/backup.h"
#include "usb/backend.h"

namespace kq {

CToolApp::CToolApp(PageContext& context, HotplugSource* hotplug, std::string moduleDir)
    : context_(context), hotplug_(hotplug), moduleDir_(std::move(moduleDir)) {}

bool CToolApp::InitInstance() {
    if (!context_.settings.LanguageFilePath(moduleDir_)) {
        CLanguageDlg language(context_.settings);
        language.OnInitDialog();
        if (beforeModal) beforeModal(language);
        language.exec();
        if (context_.settings.TakeWriteFailureNotice()) {
            context_.messages.Show(nullptr, Tr(context_.settings, "WarningConfig.Title"),
                                   Tr(context_.settings, "WarningConfig.WriteFail"),
                                   MessageIcon::Warning);
        }
    }
    UseFrameworkLanguage();
    CMainDlg main(context_, hotplug_);
    main.OnInitDialog();
    if (beforeModal) beforeModal(main);
    main.exec();
    return false;
}

// The framework's own texts (standard buttons, the file dialog) follow the language in use.
void CToolApp::UseFrameworkLanguage() {
    if (std::filesystem::path(context_.settings.CurrentLanguageFile).filename() !=
        "SimpChinese.lang") {
        return;
    }
    if (frameworkTexts_.load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&frameworkTexts_);
    }
}

namespace {

// The templates ask for a 9-point CJK font; one that covers both languages keeps the pages
// looking the same in either.
void ChooseFont() {
    const QString family = "WenQuanYi Micro Hei";
    if (!QFontDatabase::families().contains(family)) return;
    QApplication::setFont(QFont(family, 9));
}

}  // namespace

int RunTool(int argc, char** argv) {
    CLI::App cli{"Controls the KQ7300 light engine: power, LED, current, mirroring, firmware.",
                 "kq7300tool"};
    WrapHelp(cli);
    cli.set_version_flag("-V,--version", std::string("kq7300tool ") + KQ_VERSION,
                         "Print the version and exit");
    BackendOptions options;
    AddBackendOptions(cli, options);
    std::string screenshotDir;
    cli.add_option("--screenshot", screenshotDir)->group("");  // for the documentation only
    auto parse = [&](int count, char** args) {
        try {
            cli.parse(count, args);
        } catch (const CLI::ParseError& e) {
            return cli.exit(e) == 0 ? 0 : 2;
        }
        return -1;
    };
    // Help, version and usage errors need no display, so they are answered before the window
    // system opens. Qt's own options (one dash: -platform, -style, ...) are left to
    // QApplication, which takes them out; the program's own have two dashes (-h and -V aside).
    cli.allow_extras();
    if (const int code = parse(argc, argv); code >= 0) return code;
    for (const std::string& extra : cli.remaining()) {
        if (extra.starts_with("--")) {
            std::cerr << "error: unknown option " << extra << '\n';
            return 2;
        }
    }
    Backend backend;
    std::string error;
    if (!MakeBackend(options, backend, &error)) {
        std::cerr << "error: --virtual-engine: " << error << '\n';
        return 2;
    }

    // The restart repeats the command line as given; QApplication takes its own options out.
    QStringList commandLine;
    for (int i = 1; i < argc; ++i) commandLine << QString::fromLocal8Bit(argv[i]);
    QApplication app(argc, argv);
    cli.allow_extras(false);
    if (const int code = parse(argc, argv); code >= 0) return code;
    DeviceLink link(*backend.platform);
    if (!options.tracePath.empty() && !link.trace().Open(options.tracePath)) {
        std::cerr << "error: cannot open trace file " << options.tracePath << '\n';
        return 2;
    }

    ModulePathsRecord paths;
    SystemLocale locale;
    Settings settings(paths.moduleDir(), locale, Settings::DefaultUserDir(),
                      SystemConfig::OfThisBuild());
    PageFlags flags;
    QtMessagePresenter messages;
    QtFileDialogProvider files;
    QtProcessStarter processes;
    PageContext context{link,
                        settings,
                        flags,
                        messages,
                        files,
                        processes,
                        QString::fromStdString(paths.fullPath()),
                        commandLine,
                        nullptr,
                        UpgradeBackupDirectory()};
    ChooseFont();
    QApplication::setWindowIcon(QIcon(":/icons/kq7300.png"));

    if (!screenshotDir.empty()) {
        return TakeScreenshots(context, backend.hotplug, QString::fromStdString(screenshotDir));
    }
    CToolApp tool(context, backend.hotplug, paths.moduleDir());
    tool.InitInstance();
    return 0;
}

}  // namespace kq
