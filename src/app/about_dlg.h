#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AboutDlg;
}

namespace kq {

class Settings;

// Names the program and its version; reached from the main window's context menu and F1.
class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);
    ~CAboutDlg() override;

  private:
    std::unique_ptr<Ui::AboutDlg> ui_;
};

}  // namespace kq
