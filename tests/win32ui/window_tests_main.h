#pragma once

// The main function of the window suites. Windows need a display (an X server for wine):
// without one the suite says it was skipped, with the exit code CTest reads as such.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

namespace kq::test {

inline constexpr int kSkippedExitCode = 77;

inline int RunWindowTests(int argc, char** argv) {
    if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
        std::printf("no DISPLAY: the window tests are skipped\n");
        return kSkippedExitCode;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace kq::test
