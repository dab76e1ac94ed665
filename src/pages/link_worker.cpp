#include "pages/link_worker.h"

#include <QThread>

namespace kq {

LinkWorker::LinkWorker(DeviceLink& link, QObject* parent)
    : QObject(parent), link_(link), thread_(new QThread), jobs_(new Mailbox) {
    thread_->setObjectName("kq-link");
    jobs_->moveToThread(thread_);
    thread_->start();
}

LinkWorker::~LinkWorker() {
    Shutdown();
    delete jobs_;
    delete thread_;
}

void LinkWorker::Shutdown() {
    stopping_ = true;
    jobs_->Close();
    thread_->quit();
    thread_->wait();
    // The thread's last act was to take the jobs' lock: all it did is seen here from now on.
    jobs_->Sync();
    results_.Close();
}

void LinkWorker::Submit(QObject* receiver, Job job) {
    if (stopping_) return;
    receivers_.emplace_back(receiver);
    if (pending_++ == 0) emit busyChanged(true);
    jobs_->Post([this, job = std::move(job)]() mutable {
        if (stopping_) return;  // queued behind the request in flight at shutdown
        Continuation apply = job(link_);
        results_.Post([this, apply = std::move(apply)]() mutable { Finish(apply); });
    });
}

void LinkWorker::Finish(Continuation& apply) {
    const QPointer<QObject> receiver = receivers_.front();
    receivers_.pop_front();
    // A result may open a message box, whose loop delivers the next result meanwhile; the count
    // drops only after this one has been applied, so the controls stay off until then.
    if (receiver) apply();
    if (--pending_ == 0) emit busyChanged(false);
}

}  // namespace kq
