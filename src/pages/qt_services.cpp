#include "pages/qt_services.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <cstdlib>

namespace kq {

void QtMessagePresenter::Show(QWidget* owner, const QString& title, const QString& text,
                              MessageIcon icon) {
    const QMessageBox::Icon shown = icon == MessageIcon::Warning       ? QMessageBox::Warning
                                    : icon == MessageIcon::Information ? QMessageBox::Information
                                                                       : QMessageBox::NoIcon;
    QMessageBox box(shown, title, text, QMessageBox::Ok, owner);
    box.exec();
}

bool QtMessagePresenter::Confirm(QWidget* owner, const QString& title, const QString& text,
                                 const QString& action, const QString& cancel) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, owner);
    QPushButton* yes = box.addButton(action, QMessageBox::DestructiveRole);
    QPushButton* no = box.addButton(cancel, QMessageBox::RejectRole);
    // The safe answer is the one Enter and Escape give.
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

std::optional<QString> QtFileDialogProvider::GetOpenFileName(QWidget* owner, const QString& title,
                                                             const QStringList& filters) {
    const QString path = QFileDialog::getOpenFileName(owner, title, QString(), filters.join(";;"));
    if (path.isEmpty()) return std::nullopt;
    return path;
}

bool QtProcessStarter::StartDetached(const QString& program, const QStringList& arguments) {
    return QProcess::startDetached(program, arguments);
}

void QtProcessStarter::ExitNow(int code) {
    std::_Exit(code);
}

}  // namespace kq
