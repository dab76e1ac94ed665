#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "pages/qt_system_page.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class SystemPageTest : public WindowTest {
  protected:
    QtSystemPage& Page() {
        page_.Create(&parent_);
        parent_.show();
        page_.show();
        return page_;
    }
    void Choose(int index) {
        page_.m_comboLanguage->setCurrentIndex(index);
        emit page_.m_comboLanguage->activated(index);
    }

    CSystemDlg logic_{context_, linkWorker_};
    QWidget parent_;
    QtSystemPage page_{logic_, services_};
};

TEST_F(SystemPageTest, ChoosingWritesTheNameAtOnceButKeepsTheLanguage) {
    QtSystemPage& page = Page();
    const std::string inUse = settings_.CurrentLanguageFile;
    Choose(1);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
    Choose(0);
    EXPECT_EQ(settings_.ReadLanguageSetting(), "English");
    EXPECT_EQ(settings_.CurrentLanguageFile, inUse);
    EXPECT_EQ(page.m_comboLanguage->itemText(1), "Simplified Chinese");
}

TEST_F(SystemPageTest, ReselectionAddsNoItemsAndKeepsTheFileName) {
    QtSystemPage& page = Page();
    files_.answer = "/media/usb/firmware.enc";
    FindControl<QPushButton>(&page, IDC_BROWSE)->click();
    EXPECT_EQ(page.m_editFileName->text(), "/media/usb/firmware.enc");
    EXPECT_EQ(page.logic().m_strFileName, "/media/usb/firmware.enc");
    EXPECT_FALSE(page.m_editFileName->isEnabled());
    Choose(1);

    logic_.OnInitDialog();
    logic_.OnInitDialog();
    EXPECT_EQ(page.m_comboLanguage->count(), 2);
    EXPECT_EQ(page.m_comboLanguage->currentIndex(), 1);
    EXPECT_EQ(page.m_editFileName->text(), "/media/usb/firmware.enc");

    files_.answer.reset();  // cancelled: nothing changes
    FindControl<QPushButton>(&page, IDC_BROWSE)->click();
    EXPECT_EQ(page.logic().m_strFileName, "/media/usb/firmware.enc");
}

TEST_F(SystemPageTest, BrowseFiltersFollowTheLanguage) {
    UseLanguage("SimpChinese");
    FindControl<QPushButton>(&Page(), IDC_BROWSE)->click();
    EXPECT_EQ(files_.title, "选择固件文件");
    EXPECT_EQ(files_.filters, (QStringList{"FilterImages (*.enc *.bin)", "FilterEnc (*.enc)",
                                           "二进制文件 (*.bin)", "FilterAll (*)"}));
    EXPECT_EQ(files_.folder, "");
}

TEST_F(SystemPageTest, BrowseOpensInTheBackupFolder) {
    context_.backupDir = dir_;
    FindControl<QPushButton>(&Page(), IDC_BROWSE)->click();
    EXPECT_EQ(files_.folder, QString::fromStdString(dir_.string()));
}

// After a language change the page says when it takes effect; the restart button says what it
// does.
TEST_F(SystemPageTest, ALanguageChangeSaysItTakesEffectAfterTheRestart) {
    QtSystemPage& page = Page();
    auto* note = FindControl<QLabel>(&page, IDC_LANGUAGE_NOTE);
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->text().isEmpty());
    Choose(1);
    EXPECT_EQ(note->text(), "After the restart.");
    logic_.OnInitDialog();  // the tab selected again: the line is data, not a key
    EXPECT_EQ(note->text(), "After the restart.");
    Choose(0);
    EXPECT_TRUE(note->text().isEmpty());
}

// The phase line and the last-upgrade line keep room for two lines each, so the page never
// has to grow (or cut them) while an upgrade runs.
TEST_F(SystemPageTest, TheLinesUnderTheBarHaveRoomForTwoLines) {
    QtSystemPage& page = Page();
    for (int id : {IDC_UPGRADE_PHASE, IDC_LAST_UPGRADE}) {
        auto* line = FindControl<QLabel>(&page, id);
        ASSERT_NE(line, nullptr) << id;
        EXPECT_TRUE(line->wordWrap());
        EXPECT_GE(line->height(), 2 * line->fontMetrics().lineSpacing()) << id;
    }
}

TEST_F(SystemPageTest, ControlsAtStart) {
    QtSystemPage& page = Page();
    EXPECT_FALSE(FindControl(&page, IDC_STOP)->isEnabled());    // Stop
    EXPECT_TRUE(FindControl(&page, IDC_UPGRADE)->isEnabled());  // Upgrade
    EXPECT_TRUE(FindControl<QPushButton>(&page, IDC_BROWSE)->text().isEmpty());
    EXPECT_FALSE(FindControl<QPushButton>(&page, IDC_BROWSE)->icon().isNull());
    EXPECT_EQ(FindControl<QPushButton>(&page, IDC_RESTART)->text(), "Restart");
    logic_.OnInitDialog();
    EXPECT_TRUE(FindControl<QPushButton>(&page, IDC_BROWSE)->text().isEmpty());
}

TEST_F(SystemPageTest, RestartStartsTheSameCommandLineThenClosesTheWindow) {
    QtSystemPage& page = Page();
    FindControl<QPushButton>(&page, IDC_RESTART)->click();
    EXPECT_EQ(processes_.starts, 1);
    EXPECT_EQ(processes_.program, "/opt/kq7300/kq7300tool");
    EXPECT_EQ(processes_.arguments, context_.arguments);
    EXPECT_TRUE(parent_.isVisible());  // closes later, through its own close path
    QCoreApplication::processEvents();
    EXPECT_FALSE(parent_.isVisible());
    EXPECT_FALSE(processes_.exitCode);
}

}  // namespace
}  // namespace kq::test
