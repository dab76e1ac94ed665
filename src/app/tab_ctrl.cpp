#include "app/tab_ctrl.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>

namespace kq {
namespace {

// The row of tabs ends just above the page's top edge; the pane's frame starts under it.
constexpr int kBarHeight = CTabCtrl::kPageTop - 2;
constexpr int kPaneTop = kBarHeight - 1;

}  // namespace

CTabCtrl::CTabCtrl(QWidget* parent) : QWidget(parent), bar_(new QTabBar(this)) {
    bar_->setDrawBase(false);
    bar_->setExpanding(false);
    bar_->setFocusPolicy(Qt::TabFocus);
    connect(bar_, &QTabBar::currentChanged, this, [this] {
        if (!quiet_) emit selChange();
    });
}

int CTabCtrl::InsertItem(int index, const QString& text) {
    quiet_ = true;
    const int at = bar_->insertTab(index, text);
    quiet_ = false;
    return at;
}

int CTabCtrl::GetItemCount() const {
    return bar_->count();
}

int CTabCtrl::GetCurSel() const {
    return bar_->currentIndex();
}

void CTabCtrl::SetCurSel(int index) {
    quiet_ = true;
    bar_->setCurrentIndex(index);
    quiet_ = false;
}

QString CTabCtrl::GetItemText(int index) const {
    return bar_->tabText(index);
}

void CTabCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    bar_->setGeometry(2, 0, width() - 4, kBarHeight);
}

void CTabCtrl::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = QRect(0, kPaneTop, width(), height() - kPaneTop);
    frame.shape = QTabBar::RoundedNorth;
    frame.tabBarRect = bar_->geometry();
    frame.tabBarSize = bar_->sizeHint();
    frame.selectedTabRect = bar_->tabRect(bar_->currentIndex()).translated(bar_->pos());
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

CStatusBarCtrl::CStatusBarCtrl(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
}

void CStatusBarCtrl::SetParts(const QList<int>& rightEdges) {
    auto* row = static_cast<QHBoxLayout*>(layout());
    int left = 0;
    for (int edge : rightEdges) {
        auto* part = new QLabel(this);
        part->setFrameShape(QFrame::Panel);
        part->setFrameShadow(QFrame::Sunken);
        part->setTextFormat(Qt::PlainText);
        if (edge >= 0) {
            part->setFixedWidth(edge - left);
            row->addWidget(part);
            left = edge;
        } else {
            row->addWidget(part, 1);
        }
        parts_.append(part);
    }
}

void CStatusBarCtrl::SetText(int part, const QString& text) {
    parts_.at(part)->setText(text);
}

QString CStatusBarCtrl::GetText(int part) const {
    return parts_.at(part)->text();
}

void CStatusBarCtrl::FitPart(int part, const QStringList& texts) {
    QLabel* label = parts_.at(part);
    const QFontMetrics metrics(label->font());
    // The label's frame and its margins on both sides, plus a little air.
    const int chrome = 2 * label->frameWidth() + 2 * label->margin() + metrics.averageCharWidth();
    int width = label->width();
    for (const QString& text : texts)
        width = std::max(width, metrics.horizontalAdvance(text) + chrome);
    label->setFixedWidth(width);
}

}  // namespace kq
