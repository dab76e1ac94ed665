// Looks at another program's windows, as a test that starts that program does:
//   win32ui_probe wait    TITLE PROGRAM SECONDS   waits until such a window is shown
//   win32ui_probe click   TITLE PROGRAM ID        presses its button ID
//   win32ui_probe close   TITLE PROGRAM           asks it to close
// A window counts when its caption is TITLE and it belongs to a process whose executable ends
// in PROGRAM (so a test's own windows of the same caption are never taken). Exit code 0 when
// it was done, 1 when there was no such window.
// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Wanted {
    std::wstring title;
    std::wstring program;
    HWND found = nullptr;
};

bool EndsWithNoCase(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           CompareStringOrdinal(text.c_str() + text.size() - end.size(), -1, end.c_str(), -1,
                                TRUE) == CSTR_EQUAL;
}

BOOL CALLBACK Look(HWND window, LPARAM data) {
    auto* wanted = reinterpret_cast<Wanted*>(data);
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    if (!IsWindowVisible(window) || wanted->title != title) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return TRUE;
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    if (!named || !EndsWithNoCase(image, wanted->program)) return TRUE;
    wanted->found = window;
    return FALSE;
}

HWND Find(const std::wstring& title, const std::wstring& program, int seconds) {
    Wanted wanted{title, program};
    for (int waited = 0;; waited += 100) {
        EnumWindows(&Look, reinterpret_cast<LPARAM>(&wanted));
        if (wanted.found || waited >= seconds * 1000) return wanted.found;
        Sleep(100);
    }
}

}  // namespace

int wmain() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 4) {
        std::fprintf(stderr, "usage: win32ui_probe wait|click|close TITLE PROGRAM [SECONDS|ID]\n");
        return 2;
    }
    const std::wstring command = args[1];
    const int number = count > 4 ? _wtoi(args[4]) : 0;
    HWND window = Find(args[2], args[3], command == L"wait" ? number : 5);
    if (!window) {
        std::fprintf(stderr, "no window \"%ls\" of %ls\n", args[2], args[3]);
        return 1;
    }
    if (command == L"click") {
        HWND button = GetDlgItem(window, number);
        if (!button) return 1;
        // What a click tells the dialog; BM_CLICK itself may fail on a window not active.
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(number, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    } else if (command == L"close") {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return 0;
}
