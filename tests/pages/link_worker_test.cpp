#include <QCoreApplication>
#include <QThread>
#include <thread>

#include "pages/qt_services.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

// Qt's side of the hand-over: tasks posted from another thread run on the waker's thread, from
// its event loop, in order, until the queue is closed.
TEST(QtUiWakerTest, RunsPostsFromAnyThreadOnItsOwnInOrder) {
    UiQueue queue;
    QtUiWaker waker(queue);
    std::vector<int> ran;
    const QThread* owner = QThread::currentThread();
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            queue.Post([&, i, owner] {
                EXPECT_EQ(QThread::currentThread(), owner);
                ran.push_back(i);
            });
        }
    });
    poster.join();
    EXPECT_TRUE(ran.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    queue.Post([&] { ran.push_back(3); });
    queue.Close();
    queue.Post([&] { ran.push_back(4); });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.size(), 3u) << "nothing runs once closed";
}

// The link worker's results come back through Qt's event loop, on the UI thread.
TEST(QtUiWakerTest, ResultsOfTheLinkWorkerArriveThroughTheEventLoop) {
    CountingSleeper sleeper;
    VirtualBus bus(&sleeper);
    DeviceLink link(bus, &sleeper);
    UiQueue queue;
    QtUiWaker waker(queue);
    LinkWorker worker(link, queue);
    Liveness receiver;
    const QThread* ui = QThread::currentThread();
    std::vector<bool> onUi;
    for (int i = 0; i < 3; ++i) {
        worker.Run(
            receiver.Watch(), [ui](DeviceLink&) { return QThread::currentThread() != ui; },
            [&, ui](bool offUi) { onUi.push_back(offUi && QThread::currentThread() == ui); });
    }
    EXPECT_TRUE(onUi.empty());
    EXPECT_TRUE(WaitForWorker(worker));
    EXPECT_EQ(onUi, (std::vector<bool>{true, true, true}));
}

}  // namespace
}  // namespace kq::test
