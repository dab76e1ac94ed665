#include "devlink/sleeper.h"

namespace kq {

void RealSleeper::SleepFor(std::chrono::microseconds duration) {
    // Waiting on a condition variable against a steady deadline: spurious wake-ups loop until the
    // full time has passed, so the wait is never shorter than asked.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [&] { return interrupted_; });
}

void RealSleeper::Interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

void RealSleeper::Reset() {
    std::lock_guard lock(mutex_);
    interrupted_ = false;
}

}  // namespace kq
