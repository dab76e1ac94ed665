#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "dialogs/task_queue.h"

namespace kq {

class DeviceLink;

// The one thread that does the windows' device work, in the order it is asked for, so that the
// UI thread never waits on the engine. A request is a job that runs on that thread with the link
// and returns what the UI thread then applies, through the UI queue, and only while its receiver
// is alive.
//
// All members are called on the UI thread. Shutdown (and the destructor) drops the requests
// still queued, lets the one in flight finish (the link's timeouts bound it) and joins the
// thread; results that had not been applied yet are dropped too.
class LinkWorker {
  public:
    LinkWorker(DeviceLink& link, UiQueue& ui);
    LinkWorker(const LinkWorker&) = delete;
    LinkWorker& operator=(const LinkWorker&) = delete;
    ~LinkWorker();

    // Queues job(link) -> result, then apply(result) on the UI thread unless receiver is dead.
    // The job must not touch the UI: it gets the link and what it captured by value.
    template <class Job, class Apply>
    void Run(LifeToken receiver, Job job, Apply apply) {
        Submit(std::move(receiver),
               [job = std::move(job),
                apply = std::move(apply)](DeviceLink& link) mutable -> std::function<void()> {
                   auto result = job(link);
                   return [apply = std::move(apply), result = std::move(result)]() mutable {
                       apply(result);
                   };
               });
    }

    // Requests posted and not yet applied.
    bool busy() const { return pending_ > 0; }
    // listener(true) when the first request is posted, listener(false) after the last one has
    // been applied; called while owner is alive, in the order the listeners were added.
    void AddBusyListener(LifeToken owner, std::function<void(bool busy)> listener);
    void Shutdown();

    DeviceLink& link() { return link_; }
    UiQueue& ui() { return ui_; }

  private:
    using Continuation = std::function<void()>;
    using Job = std::function<Continuation(DeviceLink&)>;

    void Submit(LifeToken receiver, Job job);
    void ThreadMain();
    void Finish(const LifeToken& receiver, Continuation& apply);
    void TellBusy(bool busy);

    DeviceLink& link_;
    UiQueue& ui_;
    Liveness alive_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;  // guarded by mutex_
    bool stopping_ = false;                   // guarded by mutex_

    // UI thread only.
    bool stopped_ = false;
    int pending_ = 0;
    struct Listener {
        LifeToken owner;
        std::function<void(bool)> call;
    };
    std::vector<Listener> listeners_;

    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace kq
