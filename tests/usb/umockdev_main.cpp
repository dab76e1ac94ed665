#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "usb_testbed.h"

// The tests need the umockdev preload in this process from its start; without it the binary
// runs itself again with it (as umockdev-wrapper would).
int main(int argc, char** argv) {
    if (!kq::test::InMockEnvironment()) {
        const char* old = std::getenv("LD_PRELOAD");
        std::string preload = "libumockdev-preload.so.0";
        if (old && *old) preload += std::string(":") + old;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        // The preload cannot come before the sanitizer runtime; tell ASan that this is fine.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string options = asan && *asan ? std::string(asan) + ":" : std::string();
        setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("re-running under the umockdev preload");
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
