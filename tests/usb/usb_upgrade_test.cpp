// Whole upgrades over the system's libusb against engines that re-enumerate on their port after
// StartLoader and FinishUpgrade, alone and with another program polling the engine meanwhile.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "cli/ctl.h"
#include "devlink/commands.h"
#include "devlink/link.h"
#include "upgrade/upgrade.h"
#include "usb/libusb_platform.h"
#include "usb_testbed.h"

extern char** environ;

namespace kq {
namespace {

using namespace std::chrono_literals;
using test::EmulatedEngineOptions;
namespace fs = std::filesystem;

// Until the upgrade holds the engine from before its first exchange to its final check (and
// waits out a brief busy moment at each of its own opens), another program's poll can break it.
std::vector<uint8_t> Image(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return bytes;
}

// The flash holds the image from 9216 on, and nothing below 9216 was touched.
::testing::AssertionResult FlashIsRight(const VirtualEngine& engine,
                                        const std::vector<uint8_t>& firmware) {
    const std::vector<uint8_t> flash = engine.flash();
    if (!std::all_of(flash.begin(), flash.begin() + kProtectedFirmwareBytes,
                     [](uint8_t b) { return b == 0xFF; })) {
        return ::testing::AssertionFailure() << "the loader's area was written";
    }
    const auto from = static_cast<std::ptrdiff_t>(kProtectedFirmwareBytes);
    if (!std::equal(firmware.begin() + from, firmware.end(), flash.begin() + from)) {
        return ::testing::AssertionFailure() << "the flash differs from the image past 9216";
    }
    return ::testing::AssertionSuccess();
}

// The upgrade's waits for the engine's restart, a quarter as long: the emulated engine is back
// well within them.
class QuickSleeper final : public Sleeper {
  public:
    void SleepFor(std::chrono::microseconds duration) override { real_.SleepFor(duration / 4); }

  private:
    RealSleeper real_;
};

// The window's way: UpgradeThreadProc over a link without a filter.
UpgradeResult Upgrade(const std::vector<uint8_t>& firmware, const std::vector<uint8_t>& loader) {
    auto platform = LibusbPlatform::Create();
    if (!platform) throw std::runtime_error("no libusb");
    DeviceLink link(*platform);
    if (!link.FindDevice()) throw std::runtime_error("no engine found");
    link.DevicePresent = 1;
    QuickSleeper sleeper;
    std::atomic<bool> stop{false};
    UpgradeJob job{link, sleeper, firmware, loader, stop};
    return UpgradeThreadProc(job);
}

std::string ModeName(const testing::TestParamInfo<EngineMode>& info) {
    return info.param == EngineMode::App ? "FromTheApplication" : "FromTheLoader";
}

class UsbUpgradeTest : public testing::TestWithParam<EngineMode> {
  protected:
    test::UsbTestbed bed_;
};

TEST_P(UsbUpgradeTest, TheFlashIsRightFrom9216AndTheEngineBackInItsApplication) {
    const bool fromApp = GetParam() == EngineMode::App;
    EmulatedEngineOptions o;
    o.engine.mode = GetParam();
    o.engine.rebootMs = 300;
    auto& device = bed_.Plug(o);
    const auto firmware = Image(kProtectedFirmwareBytes + 2500, 3);
    const UpgradeResult result = Upgrade(firmware, Image(1500, 9));
    EXPECT_EQ(result.outcome, UpgradeOutcome::Success) << UpgradeFailureText(result.failure);
    EXPECT_TRUE(FlashIsRight(device.engine(), firmware));
    ASSERT_TRUE(bed_.WaitForReturns(device, fromApp ? 2 : 1, 10s));
    EXPECT_EQ(device.engine().mode(), EngineMode::App);
    EXPECT_EQ(device.engine().startLoaderCount(), fromApp ? 1 : 0);
    EXPECT_EQ(device.engine().finishUpgradeCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, UsbUpgradeTest,
                         testing::Values(EngineMode::App, EngineMode::Loader), ModeName);

// kq7300ctl as a child process, with its input on /dev/null (no question asked) and its output
// collected to files. Waits sleep.
//
// umockdev names the socket that brings a process the emulated uevents after the number of the
// file the process opened for its udev monitor: a process that opens its monitor on the same
// number takes the socket over, and the other one hears of no arrival or removal any more. A
// child that must follow the engine's restarts while others come and go gets its files opened
// from a higher number on (longLived).
class Child {
  public:
    Child(const std::vector<std::string>& args, const fs::path& dir, const std::string& name,
          bool longLived = false)
        : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        for (int fd = 3; longLived && fd < 40; ++fd) {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> all{KQ7300CTL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KQ7300CTL_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The exit code once it has ended, or nothing while it runs.
    std::optional<int> Ended() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out() const { return Slurp(out_); }
    std::string err() const { return Slurp(err_); }

  private:
    static std::string Slurp(const fs::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    pid_t pid_ = -1;
    fs::path out_;
    fs::path err_;
};

class CtlUpgradeTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kq-usb-upgrade-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        const char* old = std::getenv("XDG_DATA_HOME");
        if (old) oldDataHome_ = old;
        setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    }
    void TearDown() override {
        if (oldDataHome_) {
            setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path file = dir_ / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    // What one poll of the current may end in while an upgrade runs: the current, busy, no
    // engine (it restarts), or the loader (between the restart and the upgrade's new hold).
    // Never a failed exchange nor a value the engine did not hold.
    static ::testing::AssertionResult PollWasClean(int code, const std::string& out,
                                                   const std::string& err) {
        const bool clean =
            (code == kExitOk && out == "50\n") ||
            (code == kExitBusy && err.find("in use by another program") != std::string::npos) ||
            (code == kExitNoEngine && err == "error: no engine found\n") ||
            (code == kExitFailed && err.find("running its loader") != std::string::npos);
        if (clean) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "exit " << code << ", out '" << out << "', err '" << err << "'";
    }

    fs::path dir_;
    std::optional<std::string> oldDataHome_;
    test::UsbTestbed bed_;
};

class PolledUpgradeTest : public CtlUpgradeTest, public testing::WithParamInterface<EngineMode> {};

// Another program reads the current all the while: the upgrade succeeds every time, and the
// poller hears "busy" while the upgrade holds the engine.
TEST_P(PolledUpgradeTest, AnotherProgramPollingNeitherBreaksTheUpgradeNorGetsItsAnswers) {
    for (int run = 0; run < 2; ++run) {
        EmulatedEngineOptions o;
        o.engine.mode = GetParam();
        auto& device = bed_.Plug(o);
        const auto firmware = Image(kProtectedFirmwareBytes + 4096, 5);
        const fs::path image = Write("firmware.bin", firmware);
        const fs::path loader = Write("loader.bin", Image(2048, 1));

        Child upgrade({"upgrade", image.string(), "--loader", loader.string()}, dir_, "upgrade",
                      true);
        int polls = 0;
        int busy = 0;
        std::optional<int> ended;
        while (!(ended = upgrade.Ended())) {
            bed_.BeginChild();
            Child poll({"current"}, dir_, "poll");
            const int code = poll.Wait();
            bed_.EndChild();
            ++polls;
            if (code == kExitBusy) ++busy;
            EXPECT_TRUE(PollWasClean(code, poll.out(), poll.err())) << "poll " << polls;
        }
        EXPECT_EQ(*ended, kExitOk) << upgrade.err();
        EXPECT_NE(upgrade.out().find("firmware upgraded\n"), std::string::npos) << upgrade.out();
        EXPECT_TRUE(FlashIsRight(device.engine(), firmware));
        EXPECT_GT(busy, 0) << "of " << polls << " polls, none met the upgrade's hold";
        bed_.Unplug(device);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PolledUpgradeTest,
                         testing::Values(EngineMode::App, EngineMode::Loader), ModeName);

// The platform's side of the above, around raw commands: while this process holds the engine,
// every exchange of its own goes through whole, and every poll of another program hears "busy".
TEST_F(CtlUpgradeTest, WhileTheEngineIsHeldItsExchangesGoThroughAndEveryPollIsBusy) {
    auto& device = bed_.Plug();
    auto platform = LibusbPlatform::Create();
    ASSERT_TRUE(platform);
    DeviceLink link(*platform);
    ASSERT_TRUE(link.FindDevice());
    link.DevicePresent = 1;
    OpenResult why;
    auto hold = link.HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;

    std::atomic<bool> stop{false};
    std::vector<std::tuple<int, std::string, std::string>> polls;
    std::thread poller([&] {
        while (!stop) {
            bed_.BeginChild();
            Child poll({"current"}, dir_, "poll");
            const int code = poll.Wait();
            bed_.EndChild();
            polls.emplace_back(code, poll.out(), poll.err());
        }
    });
    CommandSet commands(link);
    const auto block = Image(1024, 7);
    std::vector<uint8_t> back(block.size());
    for (uint32_t i = 0; i < 40; ++i) {
        const uint32_t address = (i % 16) * 1024;
        ASSERT_TRUE(commands.WriteBlockVerified(address, 1024, block.data())) << "block " << i;
        ASSERT_TRUE(commands.ReadBlock(address, 1024, back.data()));
        ASSERT_EQ(back, block);
        uint8_t mode[3];
        ASSERT_TRUE(commands.GetMode(mode));
    }
    stop = true;
    poller.join();
    ASSERT_FALSE(polls.empty());
    for (const auto& [code, out, err] : polls) {
        EXPECT_EQ(code, kExitBusy) << out << err;
        EXPECT_NE(err.find("in use by another program"), std::string::npos) << err;
    }
    hold.reset();
    Child after({"current"}, dir_, "after");
    EXPECT_EQ(after.Wait(), kExitOk) << after.err();
    EXPECT_EQ(after.out(), "50\n");
    EXPECT_EQ(device.engine().current(), 50);
}

// Two engines of one serial on two ports, the other one in its loader: the upgrade of the one
// chosen by its place restarts it and finds it again there, and never touches the other.
TEST_F(CtlUpgradeTest, OfTwoEnginesOfOneSerialOnlyTheOneChosenByItsPlaceIsUpgraded) {
    auto& chosen = bed_.Plug();
    EmulatedEngineOptions other;
    other.engine.mode = EngineMode::Loader;
    auto& bystander = bed_.Plug(other);
    const auto firmware = Image(kProtectedFirmwareBytes + 2048, 8);
    const fs::path image = Write("firmware.bin", firmware);
    const fs::path loader = Write("loader.bin", Image(1024, 2));
    Child upgrade(
        {"--path", chosen.place(), "upgrade", image.string(), "--loader", loader.string()}, dir_,
        "upgrade");
    EXPECT_EQ(upgrade.Wait(), kExitOk) << upgrade.err();
    EXPECT_TRUE(FlashIsRight(chosen.engine(), firmware));
    EXPECT_TRUE(bystander.engine().frames().empty()) << "the other engine heard nothing";
    const auto untouched = bystander.engine().flash();
    EXPECT_TRUE(
        std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xFF; }));
}

// The window's link has no filter: after StartLoader only the engine at the same place may be
// taken, not the other one of the serial that waits in its loader.
TEST_F(CtlUpgradeTest, WithoutAChoiceTheEngineThatComesBackIsTheOneThatLeft) {
    EmulatedEngineOptions slow;
    slow.engine.rebootMs = 2500;
    auto& first = bed_.Plug(slow);
    EmulatedEngineOptions other;
    other.engine.mode = EngineMode::Loader;
    auto& bystander = bed_.Plug(other);
    const auto firmware = Image(kProtectedFirmwareBytes + 1024, 4);
    const UpgradeResult result = Upgrade(firmware, Image(1024, 6));
    EXPECT_EQ(result.outcome, UpgradeOutcome::Success) << UpgradeFailureText(result.failure);
    EXPECT_TRUE(FlashIsRight(first.engine(), firmware));
    EXPECT_TRUE(bystander.engine().blockWrites().empty());
}

}  // namespace
}  // namespace kq
