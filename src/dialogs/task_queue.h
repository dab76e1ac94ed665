#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace kq {

// Whether the object a result is meant for still exists. The object owns a Liveness; whoever
// holds a LifeToken of it asks Alive() on the UI thread, where the object is also destroyed.
using LifeToken = std::weak_ptr<const void>;

inline bool Alive(const LifeToken& token) {
    return !token.expired();
}

class Liveness {
  public:
    Liveness() : token_(std::make_shared<char>()) {}
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;

    LifeToken Watch() const { return token_; }
    // Every token reads dead from now on (called first thing by the owner's destructor).
    void End() { token_.reset(); }

  private:
    std::shared_ptr<const char> token_;
};

// Runs tasks posted from any thread on the UI thread, in the order posted. The tasks pass
// through a mutex of the queue's own, not through the toolkit's event queue: whatever a task
// carries from one thread to the other is then ordered by a lock every thread checker sees.
//
// The toolkit gives the queue its wake hook: called on the posting thread when tasks wait, it
// makes the UI thread call RunPending() soon (Qt: a queued call; Win32: PostMessage of a private
// message whose handler calls RunPending). A wake is not repeated until RunPending has taken a
// task, so a burst of posts costs one toolkit message.
class UiQueue {
  public:
    using Task = std::function<void()>;
    using Wake = std::function<void()>;

    explicit UiQueue(Wake wake = {});
    UiQueue(const UiQueue&) = delete;
    UiQueue& operator=(const UiQueue&) = delete;

    void SetWake(Wake wake);
    // Any thread. Dropped once the queue is closed.
    void Post(Task task);
    // UI thread: runs what has been posted, including what its tasks post. A task may run a
    // nested event loop (a modal box) that calls RunPending again: the tasks behind it then run
    // inside that loop, as the toolkit's own events would.
    void RunPending();
    // Drops the tasks not yet run and refuses later ones.
    void Close();

  private:
    std::mutex mutex_;
    std::deque<Task> tasks_;
    Wake wake_;
    bool wakePending_ = false;
    bool closed_ = false;
};

}  // namespace kq
