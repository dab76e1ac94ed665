#include "dialogs/link_worker.h"

namespace kq {

LinkWorker::LinkWorker(DeviceLink& link, UiQueue& ui)
    : link_(link), ui_(ui), thread_([this] { ThreadMain(); }) {}

LinkWorker::~LinkWorker() {
    Shutdown();
}

void LinkWorker::Shutdown() {
    if (stopped_) return;
    stopped_ = true;
    alive_.End();  // the results already on their way are not applied
    pending_ = 0;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_all();
    thread_.join();
}

void LinkWorker::AddBusyListener(LifeToken owner, std::function<void(bool)> listener) {
    listeners_.push_back({std::move(owner), std::move(listener)});
}

void LinkWorker::Submit(LifeToken receiver, Job job) {
    if (stopped_) return;
    if (pending_++ == 0) TellBusy(true);
    // The receiver stays on this thread's side: the job never sees it.
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back([this, receiver = std::move(receiver), alive = alive_.Watch(),
                         job = std::move(job)]() mutable {
            Continuation apply = job(link_);
            ui_.Post([this, receiver = std::move(receiver), alive = std::move(alive),
                      apply = std::move(apply)]() mutable {
                if (Alive(alive)) Finish(receiver, apply);
            });
        });
    }
    wake_.notify_one();
}

void LinkWorker::ThreadMain() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void LinkWorker::Finish(const LifeToken& receiver, Continuation& apply) {
    // A result may open a message box, whose loop applies the next result meanwhile; the count
    // drops only after this one has been applied, so the controls stay off until then.
    if (Alive(receiver)) apply();
    if (--pending_ == 0) TellBusy(false);
}

void LinkWorker::TellBusy(bool busy) {
    for (size_t i = 0; i < listeners_.size(); ++i) {
        // By index and by copy: a listener may add another.
        if (!Alive(listeners_[i].owner)) continue;
        const auto call = listeners_[i].call;
        call(busy);
    }
}

}  // namespace kq
