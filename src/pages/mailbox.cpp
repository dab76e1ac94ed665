#include "pages/mailbox.h"

namespace kq {

Mailbox::Mailbox(QObject* parent) : QObject(parent) {
    connect(this, &Mailbox::posted, this, &Mailbox::Drain, Qt::QueuedConnection);
}

void Mailbox::Post(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        tasks_.push_back(std::move(task));
    }
    emit posted();
}

void Mailbox::Close() {
    std::deque<Task> dropped;
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(tasks_);
}

void Mailbox::Sync() {
    std::lock_guard lock(mutex_);
}

void Mailbox::Drain() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace kq
