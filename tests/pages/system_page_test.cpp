#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "pages/system_dlg.h"
#include "pages/window_tools.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

class SystemPageTest : public WindowTest {
  protected:
    CSystemDlg& Page() {
        page_.Create(&parent_);
        parent_.show();
        page_.show();
        return page_;
    }
    void Choose(int index) {
        page_.m_comboLanguage->setCurrentIndex(index);
        emit page_.m_comboLanguage->activated(index);
    }

    QWidget parent_;
    CSystemDlg page_{context_, linkWorker_};
};

struct Preselection {
    const char* config;
    unsigned locale;
    int index;
};

class SystemPagePreselection : public SystemPageTest,
                               public ::testing::WithParamInterface<Preselection> {};

TEST_P(SystemPagePreselection, FollowsConfigThenLocale) {
    WriteConfig(GetParam().config);
    locale_.language = GetParam().locale;
    EXPECT_EQ(Page().m_comboLanguage->currentIndex(), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, SystemPagePreselection,
    ::testing::Values(Preselection{"[themes]\nSolution=English\n", kLangChinese, 0},
                      Preselection{"[themes]\nSolution=SimpChinese\n", kLangEnglish, 1},
                      Preselection{"", kLangChinese, 1}, Preselection{"", kLangEnglish, 0},
                      Preselection{"[themes]\nSolution=French\n", 0x404, 1},
                      Preselection{"[themes]\nSolution=French\n", 0x07, 0}));

TEST_F(SystemPageTest, ChoosingWritesTheNameAtOnceButKeepsTheLanguage) {
    CSystemDlg& page = Page();
    const std::string inUse = settings_.CurrentLanguageFile;
    Choose(1);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    Choose(0);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "English");
    EXPECT_EQ(settings_.CurrentLanguageFile, inUse);
    EXPECT_EQ(page.m_comboLanguage->itemText(1), "Simplified Chinese");
}

TEST_F(SystemPageTest, ReselectionAddsNoItemsAndKeepsTheFileName) {
    CSystemDlg& page = Page();
    files_.answer = "/media/usb/firmware.enc";
    FindControl<QPushButton>(&page, 1021)->click();
    EXPECT_EQ(page.m_editFileName->text(), "/media/usb/firmware.enc");
    EXPECT_EQ(page.m_strFileName, "/media/usb/firmware.enc");
    EXPECT_FALSE(page.m_editFileName->isEnabled());
    Choose(1);

    page.OnInitDialog();
    page.OnInitDialog();
    EXPECT_EQ(page.m_comboLanguage->count(), 2);
    EXPECT_EQ(page.m_comboLanguage->currentIndex(), 1);
    EXPECT_EQ(page.m_editFileName->text(), "/media/usb/firmware.enc");

    files_.answer.reset();  // cancelled: nothing changes
    FindControl<QPushButton>(&page, 1021)->click();
    EXPECT_EQ(page.m_strFileName, "/media/usb/firmware.enc");
}

TEST_F(SystemPageTest, BrowseFiltersFollowTheLanguage) {
    UseLanguage("SimpChinese");
    FindControl<QPushButton>(&Page(), 1021)->click();
    EXPECT_EQ(files_.title, "选择固件文件");
    EXPECT_EQ(files_.filters,
              (QStringList{"FilterEnc (*.enc)", "二进制文件 (*.bin)", "FilterAll (*)"}));
}

TEST_F(SystemPageTest, ControlsAtStart) {
    CSystemDlg& page = Page();
    EXPECT_FALSE(FindControl(&page, 1024)->isEnabled());  // Stop
    EXPECT_TRUE(FindControl(&page, 1032)->isEnabled());   // Upgrade
    EXPECT_TRUE(FindControl<QPushButton>(&page, 1021)->text().isEmpty());
    EXPECT_FALSE(FindControl<QPushButton>(&page, 1021)->icon().isNull());
    EXPECT_EQ(FindControl<QPushButton>(&page, 1117)->text(), "confirm");
    page.OnInitDialog();
    EXPECT_TRUE(FindControl<QPushButton>(&page, 1021)->text().isEmpty());
}

TEST_F(SystemPageTest, RestartStartsTheSameCommandLineThenClosesTheWindow) {
    CSystemDlg& page = Page();
    FindControl<QPushButton>(&page, 1117)->click();
    EXPECT_EQ(processes_.starts, 1);
    EXPECT_EQ(processes_.program, "/opt/kq7300/kq7300tool");
    EXPECT_EQ(processes_.arguments, context_.arguments);
    EXPECT_TRUE(parent_.isVisible());  // closes later, through its own close path
    QCoreApplication::processEvents();
    EXPECT_FALSE(parent_.isVisible());
    EXPECT_FALSE(processes_.exitCode);
}

TEST_F(SystemPageTest, FailedRestartEndsAtOnce) {
    processes_.startSucceeds = false;
    FindControl<QPushButton>(&Page(), 1117)->click();
    EXPECT_EQ(processes_.exitCode, -1);
}

TEST_F(SystemPageTest, AChoiceThatCannotBeSavedIsToldOnce) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir("Config.ini"));  // no one can write it
    Page();
    ::testing::internal::CaptureStderr();
    Choose(1);
    Choose(0);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].title, "Title");
    EXPECT_EQ(messages_.shown[0].text, "WriteFail");
    EXPECT_EQ(messages_.shown[0].icon, MessageIcon::Warning);
}

}  // namespace
}  // namespace kq::testing
