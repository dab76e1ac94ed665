#pragma once

#include <windows.h>

namespace kq::test {

// Ctrl-C as the console delivers it to this process: to the control handlers, on a thread the
// system starts. The process first gets a console of its own (hidden), so that no other process
// (ctest, a shell) gets the event too; its standard handles stay where they were redirected.
inline bool SendCtrlC() {
    static const bool ready = [] {
        const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        HANDLE kept[3];
        for (int i = 0; i < 3; ++i) kept[i] = GetStdHandle(kinds[i]);
        FreeConsole();
        if (!AllocConsole()) return false;
        if (const HWND window = GetConsoleWindow()) ShowWindow(window, SW_HIDE);
        for (int i = 0; i < 3; ++i) {
            if (kept[i] != nullptr && kept[i] != INVALID_HANDLE_VALUE &&
                GetFileType(kept[i]) != FILE_TYPE_CHAR) {
                SetStdHandle(kinds[i], kept[i]);
            }
        }
        return true;
    }();
    return ready && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
}

}  // namespace kq::test
