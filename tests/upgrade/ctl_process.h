#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace kq::test {

// How a kq7300ctl child is started.
struct CtlStart {
    const char* stdoutFile = nullptr;  // standard output goes to this file instead of a pipe
    std::vector<std::string> env{};    // "NAME=VALUE", set in the child only
    // Standard input, output and error are a terminal of the test's (a pseudo-terminal) that
    // is also the child's controlling terminal; else input is /dev/null and the rest pipes.
    bool terminal = false;
};

// kq7300ctl as a separate process, its output read through pipes (or from the terminal, where
// both outputs arrive as one and `out` gets them).
class Ctl {
  public:
    explicit Ctl(std::vector<std::string> args, const char* stdoutFile = nullptr)
        : Ctl(std::move(args), CtlStart{.stdoutFile = stdoutFile}) {}

    Ctl(std::vector<std::string> args, const CtlStart& start) {
        int outPipe[2] = {-1, -1};
        int errPipe[2] = {-1, -1};
        int terminal = -1;
        std::string terminalName;
        if (start.terminal) {
            terminal = posix_openpt(O_RDWR | O_NOCTTY);
            if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) return;
            fcntl(terminal, F_SETFD, FD_CLOEXEC);
            terminalName = ptsname(terminal);
        } else if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            // The ends stay out of every child but their own: a reader that closes its end
            // is then the only one.
            return;
        }
        std::vector<char*> argv{const_cast<char*>(KQ7300CTL)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            for (const std::string& e : start.env) putenv(const_cast<char*>(e.c_str()));
            if (start.terminal) {
                setsid();
                const int tty = open(terminalName.c_str(), O_RDWR);  // the controlling terminal
                for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(tty, fd);
            } else {
                dup2(start.stdoutFile ? open(start.stdoutFile, O_WRONLY) : outPipe[1],
                     STDOUT_FILENO);
                dup2(errPipe[1], STDERR_FILENO);
                // No terminal to answer a question on.
                dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            }
            execv(KQ7300CTL, argv.data());
            _exit(127);
        }
        if (start.terminal) {
            out_ = terminal;
            return;
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
        CloseOutput();
        if (err_ >= 0) close(err_);
    }
    Ctl(const Ctl&) = delete;
    Ctl& operator=(const Ctl&) = delete;

    // Reads standard output (or error) up to and including the first line that starts with
    // `prefix`; with a terminal, up to the first place that holds `prefix` (a question ends no
    // line).
    bool ReadUntil(const std::string& prefix, bool standardError = false) {
        std::string line;
        char c;
        const int fd = standardError ? err_ : out_;
        std::string& into = standardError ? err : out;
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        while (poll(&readable, 1, 30000) > 0 && read(fd, &c, 1) == 1) {
            into += c;
            if (err_ < 0 && c != '\n' && c != '\r') {
                line += c;
                if (line.find(prefix) != std::string::npos) return true;
            } else if (c != '\n') {
                line += c;
            } else if (line.rfind(prefix, 0) == 0) {
                return true;
            } else {
                line.clear();
            }
            if (c == '\n' || c == '\r') line.clear();
        }
        return false;
    }

    // Types on the terminal.
    bool Type(const std::string& text) {
        return write(out_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // The reader of standard output goes away, as `| head -1` does once it has its line.
    void CloseOutput() {
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

    // Waits for the exit only so long; -1 when the child is still running then. A child killed
    // by signal S gives 128 + S, as a shell tells it.
    int WaitAtMost(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            // A terminal's output is read as it comes: a full one would stop the child.
            if (err_ < 0) DrainAvailable(out_, out);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        waited_ = true;
        signalled_ = WIFSIGNALED(status);
        Drain(out_, out);
        Drain(err_, err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int Wait() {
        if (err_ >= 0) {
            Drain(out_, out);
            Drain(err_, err);
        }
        return WaitAtMost(std::chrono::hours(1));
    }

    pid_t pid() const { return pid_; }
    // The child was ended by a signal, rather than exiting with 128 + S itself.
    bool signalled() const { return signalled_; }
    std::string out;
    std::string err;

  private:
    // Up to the end, or (a terminal whose child is gone) up to the error that says so.
    static void Drain(int fd, std::string& into) {
        if (fd < 0) return;
        char buffer[4096];
        ssize_t n;
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        while (poll(&readable, 1, 1000) > 0 && (n = read(fd, buffer, sizeof buffer)) > 0) {
            into.append(buffer, n);
        }
    }
    static void DrainAvailable(int fd, std::string& into) {
        char buffer[4096];
        ssize_t n;
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        while (poll(&readable, 1, 0) > 0 && (readable.revents & POLLIN) &&
               (n = read(fd, buffer, sizeof buffer)) > 0) {
            into.append(buffer, n);
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool waited_ = false;
    bool signalled_ = false;
};

}  // namespace kq::test
