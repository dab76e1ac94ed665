#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace kq {

// Runs tasks posted from any thread on the thread the mailbox lives on, in the order posted.
// The tasks pass through a mutex of its own, not through the toolkit's event queue: that way
// whatever a task carries from one thread to the other is ordered by a lock every thread
// checker sees. The event queue only wakes the owner up.
class Mailbox : public QObject {
    Q_OBJECT

  public:
    using Task = std::function<void()>;

    explicit Mailbox(QObject* parent = nullptr);

    // Dropped once the mailbox is closed.
    void Post(Task task);
    // Drops the tasks not yet run and refuses later ones.
    void Close();
    // Takes the lock once: whatever another thread did before its last post is ordered before
    // what this thread does next (for the end of a thread that was waited for).
    void Sync();

  signals:
    void posted();

  private:
    void Drain();

    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool closed_ = false;
};

}  // namespace kq
