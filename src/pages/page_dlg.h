#pragma once

#include <QSize>
#include <QWidget>
#include <string_view>

#include "pages/page_context.h"

namespace kq {

class EnterEscapeFilter;

// A child dialog shown inside the main window's tab control. Created hidden; the main window
// runs OnInitDialog once at creation and again every time the page's tab is selected.
class CPageDlg : public QWidget {
    Q_OBJECT

  public:
    CPageDlg(PageContext& context, QSize templateDialogUnits);
    ~CPageDlg() override;

    // Becomes a hidden child of parent, initialises itself and takes its size.
    void Create(QWidget* parent);
    virtual bool OnInitDialog() = 0;

  protected:
    // A modal box with one OK button, titled and worded by language keys read now.
    void MessageBox(std::string_view titleKey, std::string_view textKey,
                    MessageIcon icon = MessageIcon::None);
    void CommunicationFail();
    QString Tr(std::string_view key) const;

    PageContext& context_;

  private:
    QSize templateDialogUnits_;
    EnterEscapeFilter* keys_;
};

}  // namespace kq
