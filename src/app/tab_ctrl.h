#pragma once

#include <QWidget>

class QLabel;
class QTabBar;

namespace kq {

// A tab control in the manner of the main window's template: a row of tabs over a framed pane,
// with the pages as its own children, placed by the main window.
class CTabCtrl : public QWidget {
    Q_OBJECT

  public:
    // Where a page sits inside the control.
    static constexpr int kPageLeft = 8;
    static constexpr int kPageTop = 25;

    explicit CTabCtrl(QWidget* parent = nullptr);

    int InsertItem(int index, const QString& text);
    int GetItemCount() const;
    int GetCurSel() const;
    // Selects without reporting a selection change, as only the user's choice is reported.
    void SetCurSel(int index);
    QString GetItemText(int index) const;
    QTabBar* tabBar() const { return bar_; }

  signals:
    void selChange();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QTabBar* bar_;
    bool quiet_ = false;
};

// A status bar of parts along the bottom of its parent: fixed right edges, -1 for the last.
class CStatusBarCtrl : public QWidget {
    Q_OBJECT

  public:
    explicit CStatusBarCtrl(QWidget* parent = nullptr);
    void SetParts(const QList<int>& rightEdges);
    void SetText(int part, const QString& text);
    QString GetText(int part) const;
    // Widens a part of fixed width, never narrows it, so that each of texts shows whole.
    void FitPart(int part, const QStringList& texts);

  private:
    QList<QLabel*> parts_;
};

}  // namespace kq
