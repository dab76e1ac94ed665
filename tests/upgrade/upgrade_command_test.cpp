#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/upgrade/upgrade_fixture.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

// kq7300ctl as a separate process, its output read through pipes.
class Ctl {
  public:
    // stdoutFile: standard output goes to this file instead of a pipe.
    explicit Ctl(std::vector<std::string> args, const char* stdoutFile = nullptr) {
        int outPipe[2];
        int errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(stdoutFile ? open(stdoutFile, O_WRONLY) : outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            // No terminal to answer a question on.
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            std::vector<char*> argv{const_cast<char*>(KQ7300CTL)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(KQ7300CTL, argv.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
    }
    ~Ctl() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads standard output (or error) up to and including the first line that starts with
    // `prefix`.
    bool ReadUntil(const std::string& prefix, bool standardError = false) {
        std::string line;
        char c;
        const int fd = standardError ? err_ : out_;
        std::string& into = standardError ? err : out;
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        while (poll(&readable, 1, 30000) > 0 && read(fd, &c, 1) == 1) {
            into += c;
            if (c != '\n') {
                line += c;
            } else if (line.rfind(prefix, 0) == 0) {
                return true;
            } else {
                line.clear();
            }
        }
        return false;
    }

    // Waits for the exit only so long; -1 when the child is still running then.
    int WaitAtMost(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        waited_ = true;
        Drain(out_, out);
        Drain(err_, err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int Wait() {
        Drain(out_, out);
        Drain(err_, err);
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid() const { return pid_; }
    std::string out;
    std::string err;

  private:
    static void Drain(int fd, std::string& into) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, n);
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool waited_ = false;
};

class UpgradeCommandTest : public ::testing::Test {
  protected:
    // Backups of the engine's previous firmware land here, not in the user's data folder.
    UpgradeCommandTest() {
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }

    std::string Trace() const {
        std::ifstream in(dir / "trace");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string TraceOption() const { return "--trace=" + (dir / "trace").string(); }

    TempDir temp;
    const fs::path& dir = temp.path;
};

constexpr const char* kFinishFrame = "> 05 00 FD";
constexpr const char* kStartLoaderFrame = "> 05 00 F9";

TEST_F(UpgradeCommandTest, UpgradesAnEngineRunningItsApplication) {
    const std::string firmware = Write("fw.enc", MakeImage(12288, 41));
    const std::string loader = Write("loader.bin", MakeImage(1024, 42));
    Ctl ctl(
        {"--virtual-engine=reboot-ms=0", TraceOption(), "upgrade", firmware, "--loader", loader});
    EXPECT_EQ(ctl.Wait(), 0) << ctl.err;
    EXPECT_NE(ctl.out.find("progress 50%\n"), std::string::npos);
    EXPECT_NE(ctl.out.find("progress 100%\nwaiting for the engine to restart\nchecking the engine: "
                           "try 1 of 5\nfirmware upgraded\n"),
              std::string::npos)
        << ctl.out;
    EXPECT_NE(Trace().find(kStartLoaderFrame), std::string::npos);
    EXPECT_NE(Trace().find(kFinishFrame), std::string::npos);
    const std::string saved = "previous firmware was saved as ";
    const size_t at =
        ctl.out.find(saved + (dir / "data/kq7300/kq7300-backup-0002a0000000-0A1B2C3D4E5F-").string());
    ASSERT_NE(at, std::string::npos) << ctl.out;
    const size_t from = at + saved.size();
    const std::string path = ctl.out.substr(from, ctl.out.find('\n', from) - from);
    EXPECT_EQ(fs::file_size(path), 12288u);
}

TEST_F(UpgradeCommandTest, RefusedFilesAndFailuresExitNonZero) {
    const std::string loader = Write("loader.bin", MakeImage(1024, 43));
    const std::string firmware = Write("fw.bin", MakeImage(20000, 44));
    {
        Ctl ctl({"--virtual-engine=mode=loader", "upgrade", Write("big.bin", MakeImage(129025, 45)),
                 "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 2);
        EXPECT_NE(ctl.err.find("129025 bytes"), std::string::npos) << ctl.err;
    }
    {
        Ctl ctl({"--virtual-engine=mode=loader", "upgrade", firmware, "--loader",
                 (dir / "none.bin").string()});
        EXPECT_EQ(ctl.Wait(), 2);
    }
    {
        Ctl ctl({"--virtual-engine=mode=loader,block-size=0", TraceOption(), "upgrade", firmware,
                 "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 1);
        EXPECT_NE(ctl.err.find("failed"), std::string::npos) << ctl.err;
        EXPECT_EQ(Trace().find(kFinishFrame), std::string::npos);
    }
    {
        Ctl ctl(
            {"--virtual-engine=mode=mute", TraceOption(), "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 1);
        EXPECT_NE(ctl.err.find("failed: the engine does not answer"), std::string::npos) << ctl.err;
        EXPECT_EQ(Trace().find("> 0D 00 FC"), std::string::npos) << "nothing read or written";
    }
    {
        Ctl ctl({"--virtual-engine=vid=1234", "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 3);
    }
}

// Opening a FIFO for reading waits for a writer; the check of the file type must not.
TEST_F(UpgradeCommandTest, FifoImagesAreRefusedWithoutWaiting) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string image = Write("image.bin", MakeImage(1024, 50));
    for (const auto& [firmware, loader] : {std::pair{fifo, image}, std::pair{image, fifo}}) {
        Ctl ctl({"--virtual-engine", "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.WaitAtMost(std::chrono::seconds(10)), 2) << ctl.err;
        EXPECT_NE(ctl.err.find("cannot read " + fifo), std::string::npos) << ctl.err;
    }
}

TEST_F(UpgradeCommandTest, OutputToAFullDeviceIsAnError) {
    Ctl ctl({"--virtual-engine", "status"}, "/dev/full");
    EXPECT_EQ(ctl.Wait(), 1);
    EXPECT_EQ(ctl.err, "error: cannot write the output: No space left on device\n") << ctl.err;
}

TEST_F(UpgradeCommandTest, InterruptStopsAtTheNextBlockWithoutFinishing) {
    const std::string firmware = Write("fw.bin", MakeImage(65536, 46));
    const std::string loader = Write("loader.bin", MakeImage(1024, 47));
    Ctl ctl({"--virtual-engine=mode=loader,reboot-ms=0", TraceOption(), "upgrade", firmware,
             "--loader", loader});
    ASSERT_TRUE(ctl.ReadUntil("writing the firmware"));
    ASSERT_TRUE(ctl.ReadUntil("progress 20%"));
    kill(ctl.pid(), SIGINT);
    EXPECT_TRUE(ctl.ReadUntil("stopping after the current block", true)) << ctl.err;

    EXPECT_EQ(ctl.Wait(), 1);
    EXPECT_NE(ctl.err.find("upgrade stopped"), std::string::npos) << ctl.err;
    EXPECT_EQ(ctl.out.find("progress 100%"), std::string::npos);
    EXPECT_EQ(ctl.out.find("progress 0%", 1), std::string::npos) << "no return to 0 %: " << ctl.out;
    EXPECT_EQ(Trace().find(kFinishFrame), std::string::npos);
}

// A second Ctrl-C does not wait out the loader's restart, and says where the engine is left.
TEST_F(UpgradeCommandTest, SecondInterruptQuitsAtOnceAndSaysTheEngineIsInItsLoader) {
    Ctl ctl({"--virtual-engine=reboot-ms=60000", "upgrade", Write("fw.bin", MakeImage(20000, 48)),
             "--loader", Write("loader.bin", MakeImage(1024, 49))});
    ASSERT_TRUE(ctl.ReadUntil("waiting for the engine to restart into its loader"));
    kill(ctl.pid(), SIGINT);
    ASSERT_TRUE(ctl.ReadUntil("stopping after the current block", true)) << ctl.err;
    kill(ctl.pid(), SIGINT);
    EXPECT_EQ(ctl.Wait(), 130);
    EXPECT_NE(ctl.err.find("the engine is left in its loader until an upgrade completes"),
              std::string::npos)
        << ctl.err;
}

}  // namespace
}  // namespace kq::test
