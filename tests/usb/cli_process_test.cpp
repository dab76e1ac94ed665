#include <fcntl.h>
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
#include "usb/libusb_platform.h"
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
    // withoutRoot: a test running as root starts it as test::kNobody. program: another program
    // to run instead (a shell, say). Its input is /dev/null: no question is asked.
    explicit Ctl(std::vector<std::string> args, bool withoutRoot = false,
                 const char* program = KQ7300CTL_PATH) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (withoutRoot && geteuid() == 0) {
            pid_ = fork();
            if (pid_ == 0) ExecWithoutRoot(argv.data(), out[1], err[1]);
            if (pid_ < 0) throw std::runtime_error("fork");
        } else if (posix_spawn(&pid_, program, &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error(std::string("cannot start ") + program);
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
    EXPECT_EQ(ctl.out(),
              "connected: yes\npath: 1-1\nserial: 0002a0000000\nmode: application\n"
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
    EXPECT_EQ(ctl.out().find("1-1  serial 0002a0000000  bus 1 port 1  can be opened\n"), 0u)
        << ctl.out();
    EXPECT_NE(ctl.out().find("\n1-2  serial 0002a0000005  bus 1 port 2  cannot be opened: busy"),
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

// The first word of each line of list: what --path takes.
std::vector<std::string> ListedPaths(const std::string& listing) {
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < listing.size()) {
        const size_t end = listing.find('\n', start);
        paths.push_back(listing.substr(start, listing.find(' ', start) - start));
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    return paths;
}

TEST_F(CtlProcessTest, ListNamesEachEngineByAPlaceAShellTakesUnquoted) {
    bed_.Plug();
    test::EmulatedEngineOptions second;
    second.engine.serial = "0002a0000001";
    second.engine.current = 22;
    bed_.Plug(second);
    Ctl list({"list"});
    ASSERT_EQ(list.Wait(), kExitOk) << list.err();
    const std::vector<std::string> paths = ListedPaths(list.out());
    ASSERT_EQ(paths, (std::vector<std::string>{"1-1", "1-2"})) << list.out();

    // Pasted into a shell as it stands.
    Ctl shell({"-c", "exec " KQ7300CTL_PATH " --path " + paths[1] + " current"}, false, "/bin/sh");
    EXPECT_EQ(shell.Wait(), kExitOk) << shell.err();
    EXPECT_EQ(shell.out(), "22\n");
    Ctl status({"status", "--path", paths[0]});
    EXPECT_EQ(status.Wait(), kExitOk) << status.err();
    EXPECT_NE(status.out().find("path: 1-1\nserial: 0002a0000000\n"), std::string::npos)
        << status.out();
    // The interface path works where it did.
    const std::string interfacePath =
        MakeInterfacePath(0xC251, 0x1706, "0002a0000001", EngineInterfaceClass);
    Ctl byInterface({"--path", interfacePath, "current"});
    EXPECT_EQ(byInterface.Wait(), kExitOk) << byInterface.err();
    EXPECT_EQ(byInterface.out(), "22\n");

    Ctl json({"list", "--json"});
    EXPECT_EQ(json.Wait(), kExitOk) << json.err();
    EXPECT_NE(json.out().find("{\"path\":\"1-2\",\"serial\":\"0002a0000001\""), std::string::npos)
        << json.out();
    EXPECT_NE(json.out().find("\"place\":\"1-2\",\"interface_path\":\"\\\\\\\\?\\\\usb#vid_c251&"
                              "pid_1706#0002a0000001#"),
              std::string::npos)
        << json.out();
}

TEST_F(CtlProcessTest, TwoEnginesOfOneSerialAreChosenByTheirPlace) {
    auto& first = bed_.Plug();
    auto& second = bed_.Plug();
    Ctl refused({"current", "70"});
    EXPECT_EQ(refused.Wait(), kExitUsage);
    EXPECT_EQ(refused.err(),
              "error: 2 engines are attached and their serials do not tell them apart; choose one "
              "with --path P:\n  1-1  serial 0002a0000000\n  1-2  serial 0002a0000000\n");
    Ctl bySerial({"--serial", "0002a0000000", "current", "70"});
    EXPECT_EQ(bySerial.Wait(), kExitUsage);
    Ctl chosen({"--path", "1-2", "current", "70"});
    EXPECT_EQ(chosen.Wait(), kExitOk) << chosen.err();
    EXPECT_EQ(second.engine().current(), 70);
    EXPECT_EQ(first.engine().current(), 50);
}

// Another program holds the engine (as an upgrade does): every command says so with its own
// exit code, and none of them takes it for an engine that does not answer.
TEST_F(CtlProcessTest, AnEngineHeldByAnotherProgramIsBusy) {
    auto& device = bed_.Plug();
    auto platform = LibusbPlatform::Create();
    ASSERT_TRUE(platform);
    DeviceLink holder(*platform);
    ASSERT_TRUE(holder.FindDevice());
    OpenResult why;
    auto hold = holder.HoldEngine(&why);
    ASSERT_TRUE(hold) << why.detail;
    const size_t frames = device.engine().frames().size();

    const std::string says = "error: the engine is in use by another program";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"current"},
                                                 {"current", "80"},
                                                 {"status"},
                                                 {"led", "off"},
                                                 {"list"}}) {
        Ctl ctl(args);
        EXPECT_EQ(ctl.Wait(), kExitBusy) << args[0] << ": " << ctl.err();
        EXPECT_NE(ctl.err().find(says), std::string::npos) << ctl.err();
    }
    EXPECT_EQ(device.engine().frames().size(), frames) << "nothing reached the engine";
    hold.reset();
    Ctl after({"current"});
    EXPECT_EQ(after.Wait(), kExitOk) << after.err();
}

}  // namespace
}  // namespace kq
