#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "dialogs/context.h"
#include "dialogs/task_queue.h"
#include "dialogs/views.h"

class QWidget;

namespace kq {

// Modal boxes, owned by the widget that asks for them.
class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    virtual void Show(QWidget* owner, const Message& message) = 0;
    virtual Answer Ask(QWidget* owner, const Question& question) = 0;
};

// The platform's file-open dialog.
class FileDialogProvider {
  public:
    virtual ~FileDialogProvider() = default;
    // filters: "Name (*.ext)" entries, the first one selected; folder: where it opens (empty:
    // the toolkit's choice). Empty when cancelled.
    virtual std::optional<QString> GetOpenFileName(QWidget* owner, const QString& title,
                                                   const QStringList& filters,
                                                   const QString& folder) = 0;
};

// What the Qt views use beside the logic; tests put recorders in their place.
struct QtServices {
    MessagePresenter& messages;
    FileDialogProvider& files;
};

class QtMessagePresenter final : public MessagePresenter {
  public:
    void Show(QWidget* owner, const Message& message) override;
    Answer Ask(QWidget* owner, const Question& question) override;
};

class QtFileDialogProvider final : public FileDialogProvider {
  public:
    std::optional<QString> GetOpenFileName(QWidget* owner, const QString& title,
                                           const QStringList& filters,
                                           const QString& folder) override;
};

class QtProcessStarter final : public ProcessStarter {
  public:
    bool StartDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override;
    void ExitNow(int code) override;
};

// The Qt side of a UI queue: its wake hook emits a signal queued to the thread this object lives
// on, which then runs the queue. The signal carries nothing: what travels between the threads
// goes through the queue's own lock. Every thread that posts to the queue must have ended before
// this object goes.
class QtUiWaker : public QObject {
    Q_OBJECT

  public:
    explicit QtUiWaker(UiQueue& queue);
    ~QtUiWaker() override;

  signals:
    void posted();

  private:
    UiQueue& queue_;
};

}  // namespace kq
