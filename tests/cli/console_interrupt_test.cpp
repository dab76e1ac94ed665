// Ctrl-C during an upgrade on Windows, where the console's control handler takes it. POSIX
// systems send signals to a kq7300ctl process instead (tests/upgrade/upgrade_command_test.cpp);
// wine delivers no console events to another process, so here the upgrade runs in this one.
#include "tests/cli/console_interrupt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "cli/ctl.h"
#include "tests/cli/watched_buffer.h"
#include "tests/support/upgrade_fixture.h"
#include "upgrade/image_files.h"

namespace kq::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ConsoleInterruptTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = temp.path / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    std::string Trace() const {
        std::ifstream in(temp.path / "trace");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempFolder temp;
};

TEST_F(ConsoleInterruptTest, CtrlCStopsTheUpgradeAtTheNextBlockWithoutFinishing) {
    const std::vector<std::string> args = {
        "--virtual-engine=mode=loader,reboot-ms=0,block-size=256",
        "--trace=" + (temp.path / "trace").string(),
        "upgrade",
        "--yes",
        Write("fw.bin", MakeImage(kMaxFirmwareLength, 46)),
        "--loader",
        Write("loader.bin", MakeImage(1024, 47))};
    WatchedBuffer outBuffer;
    std::ostream out(&outBuffer);
    std::ostringstream err;
    // The handler says it at once, straight to the standard error handle.
    ::testing::internal::CaptureStderr();
    auto code = std::async(std::launch::async, [&] { return RunCtl(args, out, err); });
    // Early, with the largest image in small blocks (half a minute of mandated waits): wine can
    // hand the console event to the handler's thread seconds late on a busy machine, and it must
    // still come before the last block.
    const bool started = outBuffer.WaitFor("writing the firmware") &&
                         outBuffer.WaitFor("progress 10%") && SendCtrlC();
    const bool ended = code.wait_for(60s) == std::future_status::ready;
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(started) << outBuffer.text();
    ASSERT_TRUE(ended);
    EXPECT_NE(said.find("stopping after the current block"), std::string::npos) << said;
    EXPECT_EQ(code.get(), 1);
    EXPECT_NE(err.str().find("upgrade stopped"), std::string::npos) << err.str();
    EXPECT_EQ(outBuffer.text().find("progress 100%"), std::string::npos) << outBuffer.text();
    EXPECT_EQ(outBuffer.text().find("progress 0%", 1), std::string::npos)
        << "no return to 0 %: " << outBuffer.text();
    EXPECT_EQ(Trace().find("> 05 00 FD"), std::string::npos) << "the engine was told to finish";
}

// A second Ctrl-C does not wait out the loader's restart: it ends the process at once (here a
// child process of the test's own) and says where the engine is left.
using ConsoleInterruptDeathTest = ConsoleInterruptTest;

TEST_F(ConsoleInterruptDeathTest, SecondCtrlCQuitsAtOnceAndSaysTheEngineIsInItsLoader) {
    const std::vector<std::string> args = {"--virtual-engine=reboot-ms=60000",
                                           "upgrade",
                                           "-y",
                                           Write("fw.bin", MakeImage(20000, 48)),
                                           "--loader",
                                           Write("loader.bin", MakeImage(1024, 49))};
    EXPECT_EXIT(
        {
            WatchedBuffer outBuffer;
            std::ostream out(&outBuffer);
            std::ostringstream err;
            std::thread user([&] {
                if (!outBuffer.WaitFor("waiting for the engine to restart into its loader")) {
                    std::_Exit(2);
                }
                // Wine drops an event that comes while the one before is handled: press again
                // until the process ends, as a user would.
                for (int press = 0; press < 50; ++press) {
                    SendCtrlC();
                    std::this_thread::sleep_for(200ms);
                }
                std::_Exit(4);
            });
            RunCtl(args, out, err);
            std::_Exit(3);  // a second Ctrl-C should have ended the process by now
        },
        ::testing::ExitedWithCode(130),
        "interrupted: the engine is left in its loader until an upgrade completes");
}

}  // namespace
}  // namespace kq::test
