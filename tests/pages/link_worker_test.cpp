#include "pages/link_worker.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <thread>

#include "pages/mailbox.h"
#include "window_fixture.h"

namespace kq::testing {
namespace {

class LinkWorkerTest : public WindowTest {
  protected:
    std::vector<bool> busy_;
    LinkWorker& Worker() {
        if (!worker_) {
            worker_ = std::make_unique<LinkWorker>(link_);
            QObject::connect(worker_.get(), &LinkWorker::busyChanged,
                             [this](bool b) { busy_.push_back(b); });
        }
        return *worker_;
    }
    std::unique_ptr<LinkWorker> worker_;
};

TEST_F(LinkWorkerTest, JobsRunOffTheUiThreadInOrderAndResultsComeBackOnIt) {
    QObject receiver;
    std::vector<int> applied;
    const QThread* ui = QThread::currentThread();
    for (int i = 0; i < 5; ++i) {
        Worker().Run(
            &receiver, [i, ui](DeviceLink&) { return QThread::currentThread() != ui ? i : -1; },
            [&, ui](int result) {
                EXPECT_EQ(QThread::currentThread(), ui);
                applied.push_back(result);
            });
    }
    EXPECT_TRUE(Worker().busy());
    EXPECT_TRUE(applied.empty()) << "results are applied by the event loop, never at once";
    WaitForWorker(Worker());
    EXPECT_EQ(applied, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(busy_, (std::vector<bool>{true, false}));
}

TEST_F(LinkWorkerTest, AResultForAReceiverThatIsGoneIsDropped) {
    auto receiver = std::make_unique<QObject>();
    QObject other;
    int applied = 0;
    Worker().Run(
        receiver.get(), [](DeviceLink&) { return 1; }, [&](int) { ++applied; });
    Worker().Run(
        &other, [](DeviceLink&) { return 2; }, [&](int v) { applied += v; });
    receiver.reset();
    WaitForWorker(Worker());
    EXPECT_EQ(applied, 2);
    EXPECT_FALSE(Worker().busy());
}

// Going away mid-request: the request in flight finishes, those behind it never run.
TEST_F(LinkWorkerTest, DestroyingWaitsForTheRequestInFlightAndDropsTheRest) {
    Gate gate;
    QObject receiver;
    std::atomic<int> ran{0};
    int applied = 0;
    Worker().Run(
        &receiver,
        [&](DeviceLink&) {
            gate.Wait();
            return ++ran;
        },
        [&](int) { ++applied; });
    Worker().Run(
        &receiver, [&](DeviceLink&) { return ++ran; }, [&](int) { ++applied; });
    ASSERT_TRUE(gate.WaitEntered());
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.Open();
    });
    worker_.reset();
    opener.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(applied, 0);
}

// The hand-over under both: tasks from another thread run on the owner's, in order, until closed.
TEST(MailboxTest, RunsPostsFromAnyThreadOnItsOwnInOrder) {
    Mailbox box;
    std::vector<int> ran;
    const QThread* owner = QThread::currentThread();
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            box.Post([&, i, owner] {
                EXPECT_EQ(QThread::currentThread(), owner);
                ran.push_back(i);
            });
        }
    });
    poster.join();
    EXPECT_TRUE(ran.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    box.Post([&] { ran.push_back(3); });
    box.Close();
    box.Post([&] { ran.push_back(4); });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.size(), 3u) << "nothing runs once closed";
}

}  // namespace
}  // namespace kq::testing
