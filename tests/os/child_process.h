#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kq::testing {

// Runs body in a forked child and gives its exit code; -1 when it did not exit by itself.
inline int ExitCodeOfChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) _exit(body());
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
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

}  // namespace kq::testing
#endif
