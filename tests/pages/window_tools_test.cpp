#include "pages/window_tools.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "pages/flip_dlg.h"
#include "pages/number_text.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

class TranslateWindowTest : public WindowTest {};

TEST_F(TranslateWindowTest, TranslatesFromTheCreationKeyAndLeavesDataAlone) {
    QWidget window;
    window.setWindowTitle("Tab.Led");
    auto* group = new QGroupBox("Tab.Flip", &window);
    auto* nested = new QPushButton("Led.Write", group);  // inside a group box: still ours
    auto* edit = new QLineEdit("Led.Write", &window);
    auto* empty = new QLabel("", &window);
    auto* plain = new QLabel("Ver.2", &window);
    auto* page = new CFlipDlg(context_, linkWorker_);
    page->setParent(&window);  // a nested page translates itself

    for (int pass = 0; pass < 3; ++pass) {
        TranslateWindow(&window, settings_);
        EXPECT_EQ(window.windowTitle(), "LED");
        EXPECT_EQ(group->title(), "Flip");
        EXPECT_EQ(nested->text(), "Ver.2");
        EXPECT_EQ(edit->text(), "Led.Write");
        EXPECT_EQ(empty->text(), "");
        EXPECT_EQ(plain->text(), "2");  // a key like any other, once
        EXPECT_EQ(FindControl<QPushButton>(page, 1070)->text(), "FLIP.do");
    }

    SetTextKey(nested, settings_, "Led.On");
    TranslateWindow(&window, settings_);
    EXPECT_EQ(nested->text(), "Switch on");
}

TEST(NumberText, ParseUnsignedWantsTheWholeText) {
    EXPECT_EQ(ParseUnsigned("100"), 100u);
    EXPECT_EQ(ParseUnsigned(" 7 "), 7u);
    EXPECT_EQ(ParseUnsigned(""), std::nullopt);
    EXPECT_EQ(ParseUnsigned("12a"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("-1"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("99999999999"), 4294967295u);
}

}  // namespace
}  // namespace kq::testing
