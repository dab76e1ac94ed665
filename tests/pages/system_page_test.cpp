#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "pages/qt_system_page.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "window_fixture.h"

namespace kq::testing {
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
    EXPECT_EQ(files_.filters,
              (QStringList{"FilterEnc (*.enc)", "二进制文件 (*.bin)", "FilterAll (*)"}));
}

TEST_F(SystemPageTest, ControlsAtStart) {
    QtSystemPage& page = Page();
    EXPECT_FALSE(FindControl(&page, IDC_STOP)->isEnabled());    // Stop
    EXPECT_TRUE(FindControl(&page, IDC_UPGRADE)->isEnabled());  // Upgrade
    EXPECT_TRUE(FindControl<QPushButton>(&page, IDC_BROWSE)->text().isEmpty());
    EXPECT_FALSE(FindControl<QPushButton>(&page, IDC_BROWSE)->icon().isNull());
    EXPECT_EQ(FindControl<QPushButton>(&page, IDC_RESTART)->text(), "confirm");
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
}  // namespace kq::testing
