#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/ctl.h"
#include "devlink/link.h"
#include "usb_testbed.h"

extern char** environ;

namespace kq {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs kq7300ctl as test::kNobody; for the forked child of a threaded test. Only raw system
// calls until exec: the preload's wrappers may wait for a lock another thread held at the fork.
[[noreturn]] void ExecWithoutRoot(char* const* argv, int out, int err) {
    const long id = test::kNobody;
    if (syscall(SYS_dup3, out, 1, 0) < 0 || syscall(SYS_dup3, err, 2, 0) < 0 ||
        syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, id, id, id) != 0 ||
        syscall(SYS_setresuid, id, id, id) != 0) {
        static const char kWhy[] = "cannot become uid 65534\n";
        syscall(SYS_write, 2, kWhy, sizeof kWhy - 1);
        _exit(126);
    }
    execve(KQ7300CTL_PATH, argv, environ);
    _exit(127);
}

// kq7300ctl as a child process; it inherits the preload and the testbed through the environment.
class Ctl {
  public:
    // withoutRoot: a test running as root starts it as test::kNobody.
    explicit Ctl(std::vector<std::string> args, bool withoutRoot = false) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        args.insert(args.begin(), KQ7300CTL_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (withoutRoot && geteuid() == 0) {
            pid_ = fork();
            if (pid_ == 0) ExecWithoutRoot(argv.data(), out[1], err[1]);
            if (pid_ < 0) throw std::runtime_error("fork");
        } else if (posix_spawn(&pid_, KQ7300CTL_PATH, &actions, nullptr, argv.data(), environ) !=
                   0) {
            throw std::runtime_error("cannot start " KQ7300CTL_PATH);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Ctl() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads what the child prints until text appears on stdout (or stderr), or the time is up.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit,
                       bool onStderr = false) {
        const auto deadline = Clock::now() + limit;
        const std::string& seen = onStderr ? stderr_ : stdout_;
        while (seen.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= 0ms || !ReadSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Waits for the child's exit, collecting its output; -1 when it outlives the limit.
    int Wait(std::chrono::milliseconds limit = 30s) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline && ReadSome(100)) {
        }
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) return -1;
            ReadSome(50);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Signal(int signal) { kill(pid_, signal); }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

  private:
    // Sleeps in poll() until output comes; false at the end of both streams or on timeout.
    bool ReadSome(int timeoutMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0) return false;
        bool any = false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<size_t>(n));
                any = true;
            }
        }
        return any;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string stdout_;
    std::string stderr_;
};

class CtlProcessTest : public testing::Test {
  protected:
    test::UsbTestbed bed_;
};

TEST_F(CtlProcessTest, StatusTalksToTheEmulatedEngine) {
    bed_.Plug();
    Ctl ctl({"status"});
    EXPECT_EQ(ctl.Wait(), kExitOk) << ctl.err();
    const std::string path =
        MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
    EXPECT_EQ(ctl.out(), "connected: yes\npath: " + path +
                             "\nserial: 0002a0000000\nmode: application\n"
                             "product-id: 0A-1B-2C-3D-4E-5F\nled-current: 50\n");
}

TEST_F(CtlProcessTest, ListShowsEachEngineAndWhetherItOpens) {
    bed_.Plug();
    test::EmulatedEngineOptions busy;
    busy.engine.serial = "0002a0000005";
    busy.claimedElsewhere = true;
    bed_.Plug(busy);
    Ctl ctl({"list"});
    EXPECT_EQ(ctl.Wait(), kExitOk) << ctl.err();
    const std::string first =
        MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
    EXPECT_NE(ctl.out().find(first + "  serial 0002a0000000  bus 1 port 1  can be opened\n"),
              std::string::npos)
        << ctl.out();
    EXPECT_NE(ctl.out().find("serial 0002a0000005  bus 1 port 2  cannot be opened: busy"),
              std::string::npos)
        << ctl.out();
}

TEST_F(CtlProcessTest, ListWithoutEnginesSaysSo) {
    Ctl ctl({"list"});
    EXPECT_EQ(ctl.Wait(), kExitNoEngine);
    EXPECT_EQ(ctl.out(), "");
    EXPECT_EQ(ctl.err(), "error: no engine found\n");
}

TEST_F(CtlProcessTest, EngineThisUserMayNotOpenExitsWithTheUdevHint) {
    test::EmulatedEngineOptions locked;
    locked.lockedNode = true;
    const auto& device = bed_.Plug(locked);
    if (const std::string why = test::ThreadWithoutRoot().WhyNotRefused(device); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string hint = "brings the udev rule 70-kq7300.rules";

    Ctl status({"status"}, true);
    EXPECT_EQ(status.Wait(), kExitNoPermission) << status.err();
    EXPECT_EQ(status.out(), "connected: no\n");
    EXPECT_NE(status.err().find(hint), std::string::npos) << status.err();
    // The backend's detail says which node and which rule.
    EXPECT_NE(status.err().find(device.devnode() + "; the udev rule 70-kq7300.rules"),
              std::string::npos)
        << status.err();

    Ctl list({"list"}, true);
    EXPECT_EQ(list.Wait(), kExitNoPermission) << list.err();
    EXPECT_NE(list.out().find("serial 0002a0000000  bus 1 port 1  cannot be opened: permission "
                              "denied (no permission to open " +
                              device.devnode()),
              std::string::npos)
        << list.out();
    EXPECT_NE(list.err().find(hint), std::string::npos) << list.err();
}

TEST_F(CtlProcessTest, MonitorPrintsArrivalAndRemovalUntilTerminated) {
    Ctl ctl({"monitor"});
    ASSERT_TRUE(ctl.WaitForOutput("watching", 20s, true)) << ctl.err();
    auto& device = bed_.Plug();
    const std::string path =
        MakeInterfacePath(0xC251, 0x1706, kEngineInstance, EngineInterfaceClass);
    ASSERT_TRUE(ctl.WaitForOutput("arrival " + path + "\n", 10s)) << ctl.out();
    bed_.Unplug(device);
    ASSERT_TRUE(ctl.WaitForOutput("removal " + path + "\n", 10s)) << ctl.out();
    ctl.Signal(SIGTERM);
    EXPECT_EQ(ctl.Wait(), kExitOk) << ctl.err();
    EXPECT_EQ(ctl.out(), "arrival " + path + "\nremoval " + path + "\n");
}

}  // namespace
}  // namespace kq
