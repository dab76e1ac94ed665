#include "pages/link_worker.h"

#include <QThread>

namespace kq {

LinkWorker::LinkWorker(DeviceLink& link, QObject* parent)
    : QObject(parent), link_(link), thread_(new QThread), executor_(new QObject) {
    thread_->setObjectName("kq-link");
    executor_->moveToThread(thread_);
    connect(thread_, &QThread::finished, executor_, &QObject::deleteLater);
    thread_->start();
}

LinkWorker::~LinkWorker() {
    Shutdown();
    delete thread_;
}

void LinkWorker::Shutdown() {
    stopping_ = true;
    thread_->quit();
    thread_->wait();
}

void LinkWorker::Submit(QObject* receiver, Job job) {
    if (stopping_) return;
    receivers_.emplace_back(receiver);
    if (pending_++ == 0) emit busyChanged(true);
    QMetaObject::invokeMethod(
        executor_,
        [this, job = std::move(job)]() mutable {
            if (stopping_) return;  // queued behind the request in flight at shutdown
            Continuation apply = job(link_);
            QMetaObject::invokeMethod(
                this, [this, apply = std::move(apply)]() mutable { Finish(apply); },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
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
