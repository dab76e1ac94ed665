#include "cli/usb_commands.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "tests/cli/console_interrupt.h"
#else
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <ostream>

#include "cli/json.h"
#include "emulator/virtual_bus.h"
#include "tests/cli/json_check.h"
#include "tests/cli/watched_buffer.h"

namespace kq {
namespace {

using namespace std::chrono_literals;
using test::WatchedBuffer;

// Ends a running monitor as the user does: Ctrl-C on Windows, SIGTERM elsewhere.
void Interrupt() {
#ifdef _WIN32
    ASSERT_TRUE(test::SendCtrlC());
#else
    kill(getpid(), SIGTERM);
#endif
}

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
            Interrupt();
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
    Interrupt();
    EXPECT_EQ(Finish(10s), 0);
    EXPECT_EQ(outBuffer_->text(), expected);
    EXPECT_TRUE(test::JsonCheck::Valid(expected.substr(0, expected.find('\n'))));
}

}  // namespace
}  // namespace kq
