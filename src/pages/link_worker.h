#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <deque>
#include <functional>
#include <utility>

#include "pages/mailbox.h"

class QThread;

namespace kq {

class DeviceLink;

// The one thread that does the windows' device work, in the order it is asked for, so that the
// UI thread never waits on the engine. A request is a job that runs on that thread with the
// link and returns what the UI thread then applies; the application runs on the UI thread, and
// only while its receiver still exists.
//
// Lives on the UI thread itself; its job mailbox lives on the worker thread. Destroying it drops
// the requests still queued, lets the one in flight finish (the link's timeouts bound it) and
// joins the thread.
class LinkWorker : public QObject {
    Q_OBJECT

  public:
    explicit LinkWorker(DeviceLink& link, QObject* parent = nullptr);
    ~LinkWorker() override;

    // Queues job(link) -> result, then apply(result) on the UI thread unless receiver is gone.
    // The job must not touch widgets: it gets the link and what it captured by value.
    template <class Job, class Apply>
    void Run(QObject* receiver, Job job, Apply apply) {
        Submit(receiver,
               [job = std::move(job),
                apply = std::move(apply)](DeviceLink& link) mutable -> std::function<void()> {
                   auto result = job(link);
                   return [apply = std::move(apply), result = std::move(result)]() mutable {
                       apply(result);
                   };
               });
    }

    // Requests posted and not yet applied (UI thread).
    bool busy() const { return pending_ > 0; }
    // Drops the queued requests and waits for the one in flight; later requests are dropped too.
    void Shutdown();

  signals:
    // On the UI thread, at once when the first request is posted and after the last is applied.
    void busyChanged(bool busy);

  private:
    using Continuation = std::function<void()>;
    using Job = std::function<Continuation(DeviceLink&)>;

    void Submit(QObject* receiver, Job job);
    void Finish(Continuation& apply);

    DeviceLink& link_;
    QThread* thread_;
    Mailbox* jobs_;    // lives on thread_
    Mailbox results_;  // on the UI thread
    std::atomic<bool> stopping_{false};
    // UI thread only. Requests finish in the order they were posted, so the receiver of the next
    // result is always the first here; the jobs themselves never see a receiver.
    std::deque<QPointer<QObject>> receivers_;
    int pending_ = 0;
};

}  // namespace kq
