#include "dialogs/link_worker.h"

#include <atomic>
#include <thread>

#include "tests/support/dialog_fixture.h"

namespace kq::test {
namespace {

class LinkWorkerTest : public DialogWorld {
  protected:
    LinkWorker& Worker() {
        if (!worker_) {
            worker_ = std::make_unique<LinkWorker>(link_, ui_.queue());
            worker_->AddBusyListener(owner_.Watch(), [this](bool b) { busy_.push_back(b); });
        }
        return *worker_;
    }
    bool Settle() {
        return ui_.RunUntil([this] { return !worker_->busy(); });
    }

    TestUiThread ui_;
    Liveness owner_;
    std::vector<bool> busy_;
    std::unique_ptr<LinkWorker> worker_;
};

TEST_F(LinkWorkerTest, JobsRunOffTheUiThreadInOrderAndResultsComeBackOnIt) {
    Liveness receiver;
    std::vector<int> applied;
    const auto ui = std::this_thread::get_id();
    for (int i = 0; i < 5; ++i) {
        Worker().Run(
            receiver.Watch(),
            [i, ui](DeviceLink&) { return std::this_thread::get_id() != ui ? i : -1; },
            [&, ui](int result) {
                EXPECT_EQ(std::this_thread::get_id(), ui);
                applied.push_back(result);
            });
    }
    EXPECT_TRUE(Worker().busy());
    EXPECT_TRUE(applied.empty()) << "results are applied by the UI queue, never at once";
    ASSERT_TRUE(Settle());
    EXPECT_EQ(applied, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(busy_, (std::vector<bool>{true, false}));
}

TEST_F(LinkWorkerTest, AResultForAReceiverThatIsGoneIsDropped) {
    auto receiver = std::make_unique<Liveness>();
    Liveness other;
    int applied = 0;
    Worker().Run(
        receiver->Watch(), [](DeviceLink&) { return 1; }, [&](int) { ++applied; });
    Worker().Run(
        other.Watch(), [](DeviceLink&) { return 2; }, [&](int v) { applied += v; });
    receiver.reset();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(applied, 2);
    EXPECT_FALSE(Worker().busy());
}

// Going away mid-request: the request in flight finishes, those behind it never run, and what
// was already on its way back is not applied.
TEST_F(LinkWorkerTest, ShutdownWaitsForTheRequestInFlightAndDropsTheRest) {
    Gate gate;
    Liveness receiver;
    std::atomic<int> ran{0};
    int applied = 0;
    Worker().Run(
        receiver.Watch(), [&](DeviceLink&) { return ++ran; }, [&](int) { ++applied; });
    Worker().Run(
        receiver.Watch(),
        [&](DeviceLink&) {
            gate.Wait();
            return ++ran;
        },
        [&](int) { ++applied; });
    Worker().Run(
        receiver.Watch(), [&](DeviceLink&) { return ++ran; }, [&](int) { ++applied; });
    ASSERT_TRUE(gate.WaitEntered());
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.Open();
    });
    worker_->Shutdown();
    opener.join();
    EXPECT_EQ(ran, 2);
    EXPECT_FALSE(worker_->busy());
    ui_.queue().RunPending();
    EXPECT_EQ(applied, 0);
    Worker().Run(
        receiver.Watch(), [&](DeviceLink&) { return ++ran; }, [&](int) { ++applied; });
    worker_.reset();
    EXPECT_EQ(ran, 2) << "nothing runs after shutdown";
}

// The busy listeners hear in the order they were added, and only while their owner lives.
TEST_F(LinkWorkerTest, BusyListenersInOrderWhileTheirOwnerLives) {
    std::vector<std::string> heard;
    auto gone = std::make_unique<Liveness>();
    Worker().AddBusyListener(gone->Watch(), [&](bool b) { heard.push_back(b ? "g+" : "g-"); });
    Worker().AddBusyListener(owner_.Watch(), [&](bool b) { heard.push_back(b ? "a+" : "a-"); });
    Liveness receiver;
    Worker().Run(
        receiver.Watch(), [](DeviceLink&) { return 0; }, [](int) {});
    gone.reset();
    ASSERT_TRUE(Settle());
    EXPECT_EQ(heard, (std::vector<std::string>{"g+", "a+", "a-"}));
}

}  // namespace
}  // namespace kq::test
