#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace kq::test {

// Runs body in a forked child and gives its exit code; -1 when it did not exit by itself.
inline int ExitCodeOfChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) _exit(body());
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs body(0) ... body(n - 1) in n forked children at once; true when every one exited with 0.
inline bool AllChildrenSucceed(int n, const std::function<int(int)>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        const pid_t child = fork();
        if (child == 0) _exit(body(i));
        if (child > 0) children.push_back(child);
    }
    bool ok = static_cast<int>(children.size()) == n;
    for (const pid_t child : children) {
        int status = 0;
        ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
             ok;
    }
    return ok;
}

inline constexpr int kNoOrdinaryUser = 77;

// The same as an ordinary user (modes do not bind the superuser): kNoOrdinaryUser when the
// child cannot become one.
inline int ExitCodeAsOrdinaryUser(const std::function<int()>& body) {
    return ExitCodeOfChild([&] {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
            return kNoOrdinaryUser;
        }
        return body();
    });
}

}  // namespace kq::test
#endif
