#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kq {

// Every wait of the link goes through one of these, so tests can run long waits in no time.
class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void SleepFor(std::chrono::microseconds duration) = 0;
};

// Sleeps (never spins) for at least the stated time, unless Interrupt() cuts the wait short.
class RealSleeper final : public Sleeper {
  public:
    void SleepFor(std::chrono::microseconds duration) override;
    // Ends every current and future wait at once (used when the program closes mid-upgrade).
    void Interrupt();
    void Reset();

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

// Returns at once and only adds up the time asked for.
class CountingSleeper final : public Sleeper {
  public:
    void SleepFor(std::chrono::microseconds duration) override { total_ += duration.count(); }
    std::chrono::microseconds total() const { return std::chrono::microseconds(total_.load()); }

  private:
    std::atomic<long long> total_{0};
};

}  // namespace kq
