#include "app/screenshots.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <iostream>

#include "app/qt_language_dialog.h"
#include "app/qt_main_window.h"
#include "app/tab_ctrl.h"
#include "l10n/settings.h"
#include "upgrade/history.h"

namespace kq {
namespace {

class FixedLocale final : public LocaleSource {
  public:
    explicit FixedLocale(unsigned language) : language_(language) {}
    unsigned SystemDefaultLanguage() const override { return language_; }

  private:
    unsigned language_;
};

// Lets the window's device work finish and its results show, so the picture tells the truth.
void Settle(QtMainWindow& main) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!main.worker().busy()) loop.quit();
    });
    poll.start(10);
    loop.exec();
}

bool Save(QWidget& window, const QString& path) {
    QApplication::processEvents();
    if (window.grab().save(path)) {
        std::cout << path.toStdString() << '\n';
        return true;
    }
    std::cerr << "error: cannot write " << path.toStdString() << '\n';
    return false;
}

}  // namespace

int TakeScreenshots(PageContext& context, QtServices& services, HotplugSource* hotplug,
                    const QString& dir) {
    QDir().mkpath(dir);
    // A program folder without Config.ini, so that the pictures do not depend on the user's,
    // and a history of one run of the virtual engine for the System page's last-upgrade line.
    QTemporaryDir scratch;
    const std::filesystem::path history =
        std::filesystem::path(scratch.path().toStdString()) / "history.jsonl";
    HistoryEntry run;
    run.time = "2026-01-15T10:30:00+01:00";
    run.serial = kEngineInstance;
    run.productId = "0A-1B-2C-3D-4E-5F";
    run.place = "virtual-1";
    run.image = "firmware-2.1.enc";
    run.outcome = "success";
    std::string error;
    AppendHistory(history, run, error);
    bool ok = true;
    for (const char* language : {"English", "SimpChinese"}) {
        const bool chinese = std::string_view(language) == "SimpChinese";
        FixedLocale locale(chinese ? kLangChinese : kLangEnglish);
        Settings settings(scratch.path().toStdString(), locale);
        settings.CurrentLanguageFile =
            context.settings.programDir() + "Language/" + language + ".lang";
        PageFlags flags;
        PageContext shot{context.link,        settings,         flags, context.processes,
                         context.programPath, context.arguments};
        shot.historyFile = history;
        const QString suffix = QString(language).toLower();
        {
            QtMainWindow main(shot, services, hotplug);
            main.OnInitDialog();
            main.show();
            for (int i = 0; i < main.m_tab->GetItemCount(); ++i) {
                main.m_tab->tabBar()->setCurrentIndex(i);
                Settle(main);
                const QtPage* page = main.pageAt(i);
                const char* name = page == &main.ledPage    ? "led"
                                   : page == &main.flipPage ? "flip"
                                                            : "system";
                ok &= Save(main, QString("%1/main-%2-%3.png").arg(dir, name, suffix));
            }
        }
        QtLanguageDialog dialog(settings, services);
        dialog.OnInitDialog();
        dialog.show();
        ok &= Save(dialog, QString("%1/language-%2.png").arg(dir, suffix));
    }
    return ok ? 0 : 1;
}

}  // namespace kq
