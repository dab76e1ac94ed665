#include "app/screenshots.h"

#include <QApplication>
#include <QDir>
#include <QTabBar>
#include <iostream>

#include "app/language_dlg.h"
#include "app/main_dlg.h"
#include "app/tab_ctrl.h"
#include "l10n/settings.h"

namespace kq {
namespace {

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

int TakeScreenshots(PageContext& context, HotplugSource* hotplug, const QString& dir) {
    QDir().mkpath(dir);
    Settings& settings = context.settings;
    const std::string keep = settings.CurrentLanguageFile;
    bool ok = true;
    for (const char* language : {"English", "SimpChinese"}) {
        settings.CurrentLanguageFile = settings.programDir() + "Language/" + language + ".lang";
        const QString suffix = QString(language).toLower();
        {
            // Each window starts as in a new process.
            context.flags = PageFlags{};
            CMainDlg main(context, hotplug);
            main.OnInitDialog();
            main.show();
            for (int i = 0; i < main.m_tab->GetItemCount(); ++i) {
                main.m_tab->tabBar()->setCurrentIndex(i);
                const CPageDlg* page = main.m_pages[i];
                const char* name = page == &main.m_ledPage    ? "led"
                                   : page == &main.m_flipPage ? "flip"
                                                              : "system";
                ok &= Save(main, QString("%1/main-%2-%3.png").arg(dir, name, suffix));
            }
        }
        CLanguageDlg dialog(settings);
        dialog.OnInitDialog();
        dialog.show();
        ok &= Save(dialog, QString("%1/language-%2.png").arg(dir, suffix));
    }
    settings.CurrentLanguageFile = keep;
    return ok ? 0 : 1;
}

}  // namespace kq
