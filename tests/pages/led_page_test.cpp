#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>

#include "pages/qt_led_page.h"
#include "pages/window_tools.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

const Bytes kMode{0xFE};
const Bytes kReadCurrent{0x01, 0x01};

class LedPageTest : public WindowTest {
  protected:
    // The page as the main window creates it: hidden, inside a parent, initialised once.
    QtLedPage& Page() {
        if (!page_) {
            page_ = std::make_unique<QtLedPage>(logic_, services_);
            page_->Create(&parent_);
            parent_.show();
            page_->show();
            Settle();
        }
        return *page_;
    }
    void Settle() { EXPECT_TRUE(WaitForWorker(linkWorker_)); }
    QPushButton* Button(int id) { return FindControl<QPushButton>(page_.get(), id); }
    // A click, and its result applied.
    void Click(int id) {
        Button(id)->click();
        Settle();
    }
    void Reselect() {
        logic_.OnInitDialog();
        Settle();
    }
    void SetBox(const QString& text) { Page().m_editCurrent->setText(text); }

    CLedDlg logic_{context_, linkWorker_};
    QWidget parent_;
    std::unique_ptr<QtLedPage> page_;
};

TEST_F(LedPageTest, LedSwitchTogglesLabelAndCurrentControls) {
    Attach();
    QtLedPage& page = Page();
    NewPayloads();

    Click(IDC_LED_SWITCH);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x02, 0x00}}));
    EXPECT_EQ(page.logic().m_bLedOff, 1);
    EXPECT_EQ(Button(IDC_LED_SWITCH)->text(), "Switch on");
    for (int id : {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ})
        EXPECT_FALSE(FindControl(&page, id)->isEnabled());
    EXPECT_FALSE(engine_->ledOn());

    Reselect();  // re-selecting the tab keeps the label
    EXPECT_EQ(Button(IDC_LED_SWITCH)->text(), "Switch on");

    Click(IDC_LED_SWITCH);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, kMode, Bytes{0x02, 0x01}}));
    EXPECT_EQ(Button(IDC_LED_SWITCH)->text(), "Switch off");
    for (int id : {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ})
        EXPECT_TRUE(FindControl(&page, id)->isEnabled());
}

TEST_F(LedPageTest, WriteSendsTheBoxAndMovesTheSlider) {
    Attach();
    QtLedPage& page = Page();
    NewPayloads();
    SetBox("65");
    Click(IDC_CURRENT_WRITE);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 65}}));
    EXPECT_EQ(page.m_sliderCurrent->value(), 65);
    EXPECT_EQ(page.logic().m_lastPos, 65);
    EXPECT_EQ(engine_->current(), 65);
    EXPECT_TRUE(messages_.shown.empty());
}

// The box can be edited freely; its number is checked where it is used: Write and Enter.
TEST_F(LedPageTest, TheBoxIsCheckedWhenItsNumberIsUsed) {
    Attach();
    QtLedPage& page = Page();  // read 50
    NewPayloads();
    page.m_editCurrent->setFocus();
    page.m_editCurrent->end(false);
    QTest::keyClick(page.m_editCurrent, Qt::Key_Backspace);
    QTest::keyClick(page.m_editCurrent, Qt::Key_Backspace);
    EXPECT_EQ(page.m_editCurrent->text(), "");
    QTest::keyClicks(page.m_editCurrent, "80");
    EXPECT_TRUE(messages_.shown.empty());
    Click(IDC_CURRENT_WRITE);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 80}}));

    SetBox("");
    QTest::mouseClick(page.m_editCurrent, Qt::LeftButton);
    EXPECT_EQ(page.m_sliderCurrent->value(), 80) << "an emptied box moves the slider nowhere";
    QTest::keyClick(page.m_editCurrent, Qt::Key_Return);
    Settle();
    EXPECT_EQ(MessageTexts(), QStringList{"Enter a whole number."});
    EXPECT_EQ(page.m_editCurrent->text(), "80") << "the last good number comes back";

    messages_.shown.clear();
    SetBox("007");
    QTest::keyClick(page.m_editCurrent, Qt::Key_Enter);
    EXPECT_EQ(page.m_editCurrent->text(), "7");
    EXPECT_EQ(page.m_sliderCurrent->value(), 7);
    EXPECT_EQ(page.logic().m_nCurrent, 7u);
    EXPECT_TRUE(messages_.shown.empty());

    SetBox("150");
    QTest::keyClick(page.m_editCurrent, Qt::Key_Return);
    Settle();
    EXPECT_EQ(MessageTexts(), QStringList{"Enter a number from 0 to 100."});
    EXPECT_EQ(page.m_editCurrent->text(), "150");
    EXPECT_EQ(page.m_sliderCurrent->value(), 7);
    EXPECT_TRUE(NewPayloads().empty()) << "Enter sends nothing";
}

// Mouse, keys and wheel: every move of the slider by the user reaches the box, so Write sends
// what the slider shows; a press on the thumb that moves nothing leaves the box alone.
TEST_F(LedPageTest, EveryMoveOfTheSliderReachesTheBox) {
    Attach();
    QtLedPage& page = Page();  // read 50
    page.m_sliderCurrent->setFocus();
    QTest::keyClick(page.m_sliderCurrent, Qt::Key_Right);
    EXPECT_EQ(page.m_editCurrent->text(), "51");
    QTest::keyClick(page.m_sliderCurrent, Qt::Key_PageDown);
    EXPECT_EQ(page.m_editCurrent->text(), QString::number(page.m_sliderCurrent->value()));
    const int beforeWheel = page.m_sliderCurrent->value();
    QWheelEvent wheel(QPointF(5, 5), page.m_sliderCurrent->mapToGlobal(QPointF(5, 5)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(page.m_sliderCurrent, &wheel);
    EXPECT_NE(page.m_sliderCurrent->value(), beforeWheel);
    EXPECT_EQ(page.m_editCurrent->text(), QString::number(page.m_sliderCurrent->value()));
    EXPECT_EQ(page.logic().m_lastPos, page.m_sliderCurrent->value());

    page.logic().ShowLedCurrent(50);
    SetBox("20");
    const QPoint thumb(page.m_sliderCurrent->width() / 2, page.m_sliderCurrent->height() / 2);
    QTest::mouseClick(page.m_sliderCurrent, Qt::LeftButton, {}, thumb);
    EXPECT_EQ(page.m_editCurrent->text(), "20");
    EXPECT_EQ(page.m_sliderCurrent->value(), 50);

    QTest::mouseClick(page.m_editCurrent, Qt::LeftButton);  // clicking the box moves the slider
    EXPECT_EQ(page.m_sliderCurrent->value(), 20);
    EXPECT_EQ(page.logic().m_lastPos, 50);
    // A move back to where the slider last stood (50) still reaches the box.
    SetBox("40");
    QTest::mouseClick(page.m_editCurrent, Qt::LeftButton);
    page.m_sliderCurrent->setFocus();
    QTest::keyClick(page.m_sliderCurrent, Qt::Key_PageUp);
    EXPECT_EQ(page.m_sliderCurrent->value(), 50);
    EXPECT_EQ(page.m_editCurrent->text(), "50");
    EXPECT_EQ(NewPayloads().size(), 3u) << "the first-init read only; nothing was sent";
}

// The slider stays usable while Write's request runs; a move made then is not taken back by its
// answer, so slider and box still agree.
TEST_F(LedPageTest, ASliderMoveDuringWriteIsKept) {
    Attach();
    QtLedPage& page = Page();  // read 50
    NewPayloads();
    SetBox("20");
    Button(IDC_CURRENT_WRITE)->click();
    page.m_sliderCurrent->setFocus();
    QTest::keyClick(page.m_sliderCurrent, Qt::Key_PageUp);
    Settle();
    EXPECT_EQ(page.m_sliderCurrent->value(), 60);
    EXPECT_EQ(page.m_editCurrent->text(), "60");
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, Bytes{0x01, 0x00, 20}}));
}

TEST_F(LedPageTest, EscapeInTheBoxDoesNothing) {
    QtLedPage& page = Page();
    QTest::keyClick(page.m_editCurrent, Qt::Key_Escape);
    EXPECT_TRUE(page.isVisible());
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(LedPageTest, TranslationAgainKeepsTheTexts) {
    QtLedPage& page = Page();
    EXPECT_EQ(Button(IDC_CURRENT_WRITE)->text(), "Ver.2");
    EXPECT_EQ(Button(IDC_CURRENT_READ)->text(),
              "Read");  // no entry: the text after the key's first "."
    Reselect();
    Reselect();
    EXPECT_EQ(Button(IDC_CURRENT_WRITE)->text(), "Ver.2");
    EXPECT_EQ(Button(IDC_CURRENT_READ)->text(), "Read");
    EXPECT_EQ(page.m_editCurrent->text(), "0");
}

// Typed one key at a time, "150" passes through "15": nothing typed is taken before Write or
// Enter uses it, so a tab round trip shows the current really used and Write sends only what
// the box shows.
TEST_F(LedPageTest, ATypedNumberIsTakenOnlyWhenItIsUsed) {
    Attach();  // the current reads 50
    QtLedPage& page = Page();
    NewPayloads();
    page.m_editCurrent->clear();
    QTest::keyClicks(page.m_editCurrent, "150");
    EXPECT_EQ(page.logic().m_nCurrent, 50u);
    Reselect();
    EXPECT_EQ(page.m_editCurrent->text(), "50");

    page.m_editCurrent->clear();
    QTest::keyClicks(page.m_editCurrent, "65");
    QTest::keyClick(page.m_editCurrent, Qt::Key_Return);
    EXPECT_EQ(page.logic().m_nCurrent, 65u);
    EXPECT_EQ(page.m_sliderCurrent->value(), 65);
    Click(IDC_CURRENT_WRITE);
    EXPECT_EQ(NewPayloads(), (std::vector<Bytes>{kMode, kMode, Bytes{0x01, 0x00, 65}}));
    EXPECT_TRUE(messages_.shown.empty());
}

}  // namespace
}  // namespace kq::test
