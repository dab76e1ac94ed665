#include "pages/qt_services.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <cstdlib>

namespace kq {
namespace {

QMessageBox::Icon IconOf(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

class OpenBox final : public OpenQuestion {
  public:
    explicit OpenBox(QMessageBox& box) : box_(box) {}
    void SetText(const std::string& text) override { box_.setText(QString::fromStdString(text)); }

  private:
    QMessageBox& box_;
};

}  // namespace

void QtMessagePresenter::Show(QWidget* owner, const Message& message) {
    QMessageBox box(IconOf(message.icon), QString::fromStdString(message.title),
                    QString::fromStdString(message.text), QMessageBox::Ok, owner);
    box.exec();
}

Answer QtMessagePresenter::Ask(QWidget* owner, const Question& question) {
    QMessageBox box(IconOf(question.icon), QString::fromStdString(question.title),
                    QString::fromStdString(question.text), QMessageBox::NoButton, owner);
    QPushButton* accept =
        box.addButton(QString::fromStdString(question.acceptText), QMessageBox::DestructiveRole);
    QPushButton* reject =
        box.addButton(QString::fromStdString(question.rejectText), QMessageBox::RejectRole);
    box.setDefaultButton(question.defaultAnswer == Answer::Accept ? accept : reject);
    box.setEscapeButton(reject);
    OpenBox open(box);
    if (question.whileOpen) question.whileOpen(&open);
    box.exec();
    if (question.whileOpen) question.whileOpen(nullptr);
    return box.clickedButton() == accept ? Answer::Accept : Answer::Reject;
}

std::optional<QString> QtFileDialogProvider::GetOpenFileName(QWidget* owner, const QString& title,
                                                             const QStringList& filters,
                                                             const QString& folder) {
    const QString path = QFileDialog::getOpenFileName(owner, title, folder, filters.join(";;"));
    if (path.isEmpty()) return std::nullopt;
    return path;
}

bool QtProcessStarter::StartDetached(const std::string& program,
                                     const std::vector<std::string>& arguments) {
    // The arguments are the command line's bytes as given; the program's path is UTF-8.
    QStringList list;
    for (const std::string& argument : arguments) list << QString::fromLocal8Bit(argument);
    return QProcess::startDetached(QString::fromStdString(program), list);
}

void QtProcessStarter::ExitNow(int code) {
    std::_Exit(code);
}

QtUiWaker::QtUiWaker(UiQueue& queue) : queue_(queue) {
    connect(
        this, &QtUiWaker::posted, this, [this] { queue_.RunPending(); }, Qt::QueuedConnection);
    queue_.SetWake([this] { emit posted(); });
}

QtUiWaker::~QtUiWaker() {
    queue_.SetWake({});
}

}  // namespace kq
