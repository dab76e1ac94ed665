#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <streambuf>
#include <string>

namespace kq::test {

// Output that another thread may wait for; with `failing`, every write fails as on a full disk.
class WatchedBuffer : public std::streambuf {
  public:
    explicit WatchedBuffer(bool failing = false) : failing_(failing) {}

    bool WaitFor(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit,
                                 [&] { return text_.find(text) != std::string::npos; });
    }

    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

  protected:
    int overflow(int c) override {
        if (failing_) return traits_type::eof();
        {
            std::lock_guard lock(mutex_);
            text_ += static_cast<char>(c);
        }
        changed_.notify_all();
        return c;
    }

  private:
    const bool failing_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
};

}  // namespace kq::test
