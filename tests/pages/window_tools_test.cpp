#include "pages/window_tools.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "pages/qt_flip_page.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class TranslateWindowTest : public WindowTest {};

TEST_F(TranslateWindowTest, TranslatesFromTheCreationKeyAndLeavesDataAlone) {
    CFlipDlg logic(context_, linkWorker_);
    QWidget window;
    window.setWindowTitle("Tab.Led");
    auto* group = new QGroupBox("Tab.Flip", &window);
    auto* nested = new QPushButton("Led.Write", group);  // inside a group box: still ours
    auto* edit = new QLineEdit("Led.Write", &window);
    auto* empty = new QLabel("", &window);
    auto* plain = new QLabel("Ver.2", &window);
    auto* page = new QtFlipPage(logic, services_);
    page->setParent(&window);  // a nested page translates itself

    for (int pass = 0; pass < 3; ++pass) {
        TranslateWindow(&window, settings_);
        EXPECT_EQ(window.windowTitle(), "LED");
        EXPECT_EQ(group->title(), "Flip");
        EXPECT_EQ(nested->text(), "Ver.2");
        EXPECT_EQ(edit->text(), "Led.Write");
        EXPECT_EQ(empty->text(), "");
        EXPECT_EQ(plain->text(), "2");  // a key like any other, once
        EXPECT_EQ(FindControl<QPushButton>(page, IDC_FLIP_DO)->text(), "FLIP.do");
    }

    SetTextKey(nested, settings_, "Led.On");
    TranslateWindow(&window, settings_);
    EXPECT_EQ(nested->text(), "Switch on");
}

}  // namespace
}  // namespace kq::test
