#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AboutDlg;
}

namespace kq {

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::AboutDlg> ui_;
};

}  // namespace kq
