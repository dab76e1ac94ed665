#include "dialogs/task_queue.h"

#include <utility>

namespace kq {

UiQueue::UiQueue(Wake wake) : wake_(std::move(wake)) {}

void UiQueue::SetWake(Wake wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

void UiQueue::Post(Task task) {
    Wake wake;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        tasks_.push_back(std::move(task));
        if (wakePending_) return;
        wakePending_ = true;
        wake = wake_;
    }
    if (wake) wake();
}

void UiQueue::RunPending() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            // A post from now on wakes again, so a nested loop inside this task hears of it.
            wakePending_ = false;
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void UiQueue::Close() {
    std::deque<Task> dropped;
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(tasks_);
}

}  // namespace kq
