#include <kq_version.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/qt_about_dialog.h"
#include "app/qt_language_dialog.h"
#include "app/qt_main_window.h"
#include "app/tab_ctrl.h"
#include "app/tool_app.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/resource_ids.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class LanguageDialogTest : public WindowTest {
  protected:
    QtLanguageDialog& Dialog() {
        dialog_.OnInitDialog();
        dialog_.show();
        return dialog_;
    }
    void Press(int id) { FindControl<QPushButton>(&dialog_, id)->click(); }

    QtLanguageDialog dialog_{settings_, services_};
};

TEST_F(LanguageDialogTest, PreselectsByLocaleAndOkStoresIt) {
    locale_.language = 0x804 & 0xFF;
    EXPECT_EQ(Dialog().m_comboLanguage->currentIndex(), 1);
    EXPECT_EQ(dialog_.windowTitle(), "Dialog");
    EXPECT_EQ(dialog_.m_comboLanguage->itemText(0), "English");
    Press(1);
    EXPECT_EQ(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    EXPECT_EQ(settings_.CurrentLanguageFile, ProgramDir() + "Language/SimpChinese.lang");
}

TEST_F(LanguageDialogTest, EnterConfirmsTheChosenEntry) {
    Dialog().m_comboLanguage->setCurrentIndex(1);
    QTest::keyClick(&dialog_, Qt::Key_Return);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
}

TEST_F(LanguageDialogTest, CancelAndEscapeStoreNothing) {
    const std::string inUse = settings_.CurrentLanguageFile;
    Dialog().m_comboLanguage->setCurrentIndex(1);
    Press(2);
    EXPECT_EQ(dialog_.result(), QDialog::Rejected);
    dialog_.show();
    QTest::keyClick(&dialog_, Qt::Key_Escape);
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(settings_.CurrentLanguageFile, inUse);
}

class StartupTest : public WindowTest {
  protected:
    // Runs start-up; answer() acts on each dialog while it runs modally.
    QStringList Run(const std::function<void(QDialog&)>& answer) {
        QtToolApp tool(context_, services_, &bus_, ProgramDir());
        QStringList shown;
        tool.beforeModal = [&](QDialog& dialog) {
            shown << dialog.metaObject()->className();
            QTimer::singleShot(0, &dialog, [&] {
                if (auto* main = qobject_cast<QtMainWindow*>(&dialog)) {
                    mainTabs_ = main->m_tab->GetItemText(0);
                    frameworkCancel_ = QCoreApplication::translate("QPlatformTheme", "Cancel");
                    main->close();
                } else {
                    answer(dialog);
                }
            });
        };
        EXPECT_FALSE(tool.InitInstance());
        return shown;
    }

    QString mainTabs_;
    QString frameworkCancel_;  // the standard buttons' and file dialog's own texts
};

TEST_F(StartupTest, FirstRunAsksForTheLanguageAndTheWindowSpeaksIt) {
    const QStringList shown = Run([](QDialog& dialog) {
        auto& language = static_cast<QtLanguageDialog&>(dialog);
        language.m_comboLanguage->setCurrentIndex(1);
        FindControl<QPushButton>(&language, 1)->click();
    });
    EXPECT_EQ(shown, (QStringList{"kq::QtLanguageDialog", "kq::QtMainWindow"}));
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    EXPECT_EQ(mainTabs_, "灯光");
    EXPECT_EQ(frameworkCancel_, "取消");
}

TEST_F(StartupTest, CancelledFirstRunStillOpensTheWindowInTheLocaleLanguage) {
    locale_.language = kLangChinese;
    const QStringList shown = Run([](QDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(shown.size(), 2);
    EXPECT_EQ(ReadConfig(), "");
    EXPECT_EQ(mainTabs_, "灯光");
}

TEST_F(StartupTest, ConfiguredLanguageGoesStraightToTheWindow) {
    WriteConfig("[themes]\nsolution=English\n");
    locale_.language = kLangChinese;
    EXPECT_EQ(Run({}), QStringList{"kq::QtMainWindow"});
    EXPECT_EQ(mainTabs_, "LED");
    EXPECT_EQ(frameworkCancel_, "Cancel");
}

TEST_F(StartupTest, AFirstChoiceThatCannotBeSavedIsToldBeforeTheWindowOpens) {
    ASSERT_TRUE(std::filesystem::create_directory(dir_ / "Config.ini"));  // no one can write it
    ::testing::internal::CaptureStderr();
    const QStringList shown =
        Run([](QDialog& dialog) { FindControl<QPushButton>(&dialog, 1)->click(); });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(shown, (QStringList{"kq::QtLanguageDialog", "kq::QtMainWindow"}));
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].text, "WriteFail");
    EXPECT_EQ(mainTabs_, "LED");
}

TEST_F(LanguageDialogTest, TheWindowFormsCarryTheNamedIds) {
    ExpectResourceIds(dialog_,
                      {{"okButton", 1}, {"cancelButton", 2}, {"languageCombo", IDC_LANGUAGE_LIST}});
    ExpectResourceIds(QtAboutDialog(settings_, services_, QIcon()),
                      {{"okButton", 1}, {"labelVersion", IDC_ABOUT_VERSION}});
    ExpectResourceIds(QtMainWindow(context_, services_, nullptr), {{"tabCtrl", IDC_TAB}});
}

// The About box speaks the window's language and names the version --version prints.
TEST_F(LanguageDialogTest, TheAboutBoxNamesTheVersionInTheWindowsLanguage) {
    for (const char* language : {"English", "SimpChinese"}) {
        UseLanguage(language);
        QtAboutDialog about(settings_, services_, QIcon());
        about.OnInitDialog();
        const bool english = std::string_view(language) == "English";
        EXPECT_EQ(about.windowTitle(), english ? "About" : "关于");
        const auto* version = FindControl<QLabel>(&about, IDC_ABOUT_VERSION);
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(version->text(), QString(english ? "Tool " : "Version ") + KQ_VERSION);
        EXPECT_EQ(FindControl<QPushButton>(&about, 1)->text(), "confirm");
    }
}

}  // namespace
}  // namespace kq::test
