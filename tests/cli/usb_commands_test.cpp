#include "cli/usb_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <ostream>

#include "cli/json.h"
#include "emulator/virtual_bus.h"
#include "tests/cli/json_check.h"

namespace kq {
namespace {

using namespace std::chrono_literals;

// Output that another thread may wait for; with `failing`, every write fails as on a full disk.
class WatchedBuffer : public std::streambuf {
  public:
    explicit WatchedBuffer(bool failing = false) : failing_(failing) {}

    bool WaitFor(const std::string& text, std::chrono::seconds limit = 10s) {
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

// Runs the monitor on its own thread against a bus the test plugs engines into.
class MonitorTest : public testing::Test {
  protected:
    void Start(bool failingOutput, bool json = false) {
        outBuffer_ = std::make_unique<WatchedBuffer>(failingOutput);
        out_ = std::make_unique<std::ostream>(outBuffer_.get());
        result_ = std::async(std::launch::async,
                             [this, json] { return MonitorEngines(&bus_, *out_, err_, json); });
        ASSERT_TRUE(errBuffer_.WaitFor("watching"));
    }

    // The monitor's exit code; ended as an interrupt ends it when it does not end by itself.
    int Finish(std::chrono::seconds limit) {
        if (result_.wait_for(limit) != std::future_status::ready) {
            ADD_FAILURE() << "the monitor did not end by itself";
            kill(getpid(), SIGTERM);
        }
        return result_.get();
    }

    VirtualBus bus_;
    WatchedBuffer errBuffer_;
    std::ostream err_{&errBuffer_};
    std::unique_ptr<WatchedBuffer> outBuffer_;
    std::unique_ptr<std::ostream> out_;
    std::future<int> result_;
};

TEST_F(MonitorTest, EndsWithAnErrorWhenItsLinesCannotBeWritten) {
    Start(true);
    bus_.Plug();
    EXPECT_EQ(Finish(10s), 1);
}

TEST_F(MonitorTest, JsonIsOneObjectPerLine) {
    Start(false, true);
    const auto engine = bus_.Plug();
    bus_.Unplug(engine);
    const std::string path = JsonString(VirtualBus::EnginePath(*engine));
    const std::string expected = "{\"event\":\"arrival\",\"path\":" + path +
                                 "}\n{\"event\":\"removal\",\"path\":" + path + "}\n";
    EXPECT_TRUE(outBuffer_->WaitFor(expected)) << outBuffer_->text();
    kill(getpid(), SIGTERM);
    EXPECT_EQ(Finish(10s), 0);
    EXPECT_EQ(outBuffer_->text(), expected);
    EXPECT_TRUE(test::JsonCheck::Valid(expected.substr(0, expected.find('\n'))));
}

}  // namespace
}  // namespace kq
