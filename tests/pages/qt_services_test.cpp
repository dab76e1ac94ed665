#include "pages/qt_services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

struct KeyCase {
    Answer defaultAnswer;
    Qt::Key key;
    Answer expected;
};

class QtQuestionTest : public ::testing::TestWithParam<KeyCase> {};

// Enter gives the default answer, Escape the rejection; while the box is open its text can be
// changed through the handle it hands out, which is withdrawn when it closes.
TEST_P(QtQuestionTest, KeysGiveTheirAnswersAndTheTextFollowsWhileOpen) {
    QtMessagePresenter presenter;
    OpenQuestion* open = nullptr;
    QString shownAfter;
    QStringList buttons;
    const Question question{.title = "Title",
                            .text = "first line\nsecond line",
                            .acceptText = "Go",
                            .rejectText = "Wait",
                            .defaultAnswer = GetParam().defaultAnswer,
                            .whileOpen = [&](OpenQuestion* box) { open = box; }};
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        ASSERT_NE(open, nullptr);
        open->SetText("changed");
        shownAfter = box->text();
        for (QAbstractButton* b : box->buttons()) buttons << b->text();
        QTest::keyClick(box, GetParam().key);
    });
    EXPECT_EQ(presenter.Ask(nullptr, question), GetParam().expected);
    EXPECT_EQ(shownAfter, "changed");
    EXPECT_EQ(open, nullptr);
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"Go", "Wait"}));
}

INSTANTIATE_TEST_SUITE_P(Keys, QtQuestionTest,
                         ::testing::Values(KeyCase{Answer::Reject, Qt::Key_Return, Answer::Reject},
                                           KeyCase{Answer::Accept, Qt::Key_Return, Answer::Accept},
                                           KeyCase{Answer::Accept, Qt::Key_Escape,
                                                   Answer::Reject}));

}  // namespace
}  // namespace kq::test
