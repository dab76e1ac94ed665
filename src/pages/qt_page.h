#pragma once

#include <QSize>
#include <QWidget>

namespace kq {

class CPageDlg;
class EnterEscapeFilter;

// A page's widget inside the main window's tab control: created hidden, sized from its template
// (or more when a language's texts need it). The view of a page derives from QtView<QtPage, ...>.
class QtPage : public QWidget {
    Q_OBJECT

  public:
    QtPage(CPageDlg& logic, QSize templateDialogUnits);
    ~QtPage() override;

    // What the main window does for each page: a hidden child of parent, its first
    // initialisation, its size.
    void Create(QWidget* parent);
    // The steps of Create before and after the page's first OnInitDialog.
    void Adopt(QWidget* parent);
    void Fit();

    CPageDlg& pageLogic() { return logic_; }

  private:
    CPageDlg& logic_;
    QSize templateDialogUnits_;
    EnterEscapeFilter* keys_;
};

}  // namespace kq
