#include "dialogs/task_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kq {
namespace {

// The hand-over under every result: tasks from another thread run where RunPending is called,
// in order, until the queue is closed; a burst of posts wakes the UI thread once.
TEST(UiQueueTest, RunsPostsFromAnyThreadWhereItIsDrainedInOrder) {
    std::atomic<int> wakes{0};
    UiQueue queue([&] { ++wakes; });
    std::vector<int> ran;
    const auto owner = std::this_thread::get_id();
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            queue.Post([&, i, owner] {
                EXPECT_EQ(std::this_thread::get_id(), owner);
                ran.push_back(i);
            });
        }
    });
    poster.join();
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(wakes, 1);
    queue.RunPending();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    queue.Post([&] { ran.push_back(3); });
    EXPECT_EQ(wakes, 2);
    queue.Close();
    queue.Post([&] { ran.push_back(4); });
    queue.RunPending();
    EXPECT_EQ(ran.size(), 3u) << "nothing runs once closed";
}

// A task that opens a modal box runs a nested loop: a post made meanwhile wakes it again, and the
// tasks behind run inside it, in order.
TEST(UiQueueTest, ANestedLoopRunsTheTasksBehind) {
    int wakes = 0;
    UiQueue queue([&] { ++wakes; });
    std::vector<int> ran;
    queue.Post([&] {
        ran.push_back(1);
        queue.Post([&] { ran.push_back(3); });
        EXPECT_EQ(wakes, 2) << "the nested loop hears of the post";
        queue.RunPending();
        ran.push_back(4);
    });
    queue.Post([&] { ran.push_back(2); });
    queue.RunPending();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
}

TEST(LivenessTest, TokensDieWithTheirOwner) {
    auto owner = std::make_unique<Liveness>();
    const LifeToken token = owner->Watch();
    EXPECT_TRUE(Alive(token));
    owner->End();
    EXPECT_FALSE(Alive(token));
    EXPECT_FALSE(Alive(owner->Watch()));
    EXPECT_FALSE(Alive(LifeToken{}));
}

}  // namespace
}  // namespace kq
