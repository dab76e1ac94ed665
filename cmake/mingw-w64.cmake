# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix flavour, whose std::thread and
# std::mutex work). Programs are linked statically so they run without extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kq_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kq_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kq_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kq_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kq_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under wine with a prefix of the build's own. GoogleTest's test lists are read when
# ctest runs, not while building, so a build needs no wine.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
