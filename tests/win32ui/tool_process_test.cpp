// kq7300tool.exe as its own process with a virtual engine and a trace, driven from outside
// through its windows as another program reaches them (messages to its controls, its status bar
// read out of its memory), and read back from the trace it writes.
// commctrl.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "l10n/settings.h"
#include "os/os.h"
#include "res/resource.h"
#include "tests/support/temp_dir.h"
#include "window_tests_main.h"

namespace kq::test {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return os::Utf8(name);
}

std::string TextOf(HWND window) {
    wchar_t text[1024] = {};
    // WM_GETTEXT, which reaches another process's controls (GetWindowText does not).
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return os::Utf8(text);
}

// The top-level window of the process with that caption (any caption when empty) and, when
// owner is given, owned by it.
HWND TopLevelOf(DWORD pid, const std::string& caption, HWND owner = nullptr) {
    struct Wanted {
        DWORD pid;
        std::string caption;
        HWND owner;
        HWND found = nullptr;
    } wanted{pid, caption, owner};
    EnumWindows(
        [](HWND w, LPARAM data) {
            auto* want = reinterpret_cast<Wanted*>(data);
            DWORD of = 0;
            GetWindowThreadProcessId(w, &of);
            if (of != want->pid || !IsWindowVisible(w)) return TRUE;
            if (!want->caption.empty() && TextOf(w) != want->caption) return TRUE;
            if (want->owner && GetWindow(w, GW_OWNER) != want->owner) return TRUE;
            want->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&wanted));
    return wanted.found;
}

// The first descendant that matches.
HWND Descendant(HWND parent, const std::function<bool(HWND)>& match) {
    struct Search {
        const std::function<bool(HWND)>& match;
        HWND found = nullptr;
    } search{match};
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM data) {
            auto* looking = reinterpret_cast<Search*>(data);
            if (!looking->match(w)) return TRUE;
            looking->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Control(HWND main, int id) {
    return Descendant(main, [id](HWND w) { return GetDlgCtrlID(w) == id; });
}

std::vector<std::string> TextsBelow(HWND window) {
    std::vector<std::string> texts;
    Descendant(window, [&](HWND w) {
        texts.push_back(TextOf(w));
        return false;
    });
    return texts;
}

// A click as the button tells its page.
void Click(HWND main, int id) {
    HWND button = Control(main, id);
    ASSERT_TRUE(button) << id;
    PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

bool Enabled(HWND main, int id) {
    HWND control = Control(main, id);
    return control && IsWindowEnabled(control);
}

int Progress(HWND main) {
    return static_cast<int>(SendMessageW(Control(main, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

// A part of another process's status bar: the text is written into memory of that process.
std::string StatusText(HANDLE process, HWND main, int part) {
    HWND bar = Descendant(main, [](HWND w) { return ClassOf(w) == os::Utf8(STATUSCLASSNAMEW); });
    if (!bar) return {};
    constexpr SIZE_T kChars = 256;
    void* remote = VirtualAllocEx(process, nullptr, kChars * sizeof(wchar_t),
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remote) return {};
    std::wstring text(kChars, L'\0');
    const auto length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0));
    if (length < kChars) {
        SendMessageW(bar, SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(remote));
        ReadProcessMemory(process, remote, text.data(), (length + 1) * sizeof(wchar_t), nullptr);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    text.resize(length < kChars ? length : 0);
    return os::Utf8(text);
}

// Waits for the next box of the upgrade's (its question, its result) and gives its texts; null
// when none came.
HWND UpgradeBox(DWORD pid, HWND main, std::chrono::milliseconds limit = 20s) {
    HWND box = nullptr;
    WaitFor([&] { return (box = TopLevelOf(pid, "Firmware upgrade", main)) != nullptr; }, limit);
    return box;
}

// Presses a box's button that reads text, as a click tells the box; then waits for the box to
// go. False when it has no such button or stays.
bool Press(HWND box, const std::string& text) {
    HWND button = Descendant(box, [&](HWND w) { return TextOf(w) == text; });
    if (!button) return false;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return WaitFor([&] { return !IsWindow(box); });
}

bool StartsOneWith(const std::vector<std::string>& texts, const std::string& start) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.starts_with(start); });
}

struct Process {
    PROCESS_INFORMATION info{};
    ~Process() {
        if (!info.hProcess) return;
        // A program the test lost is ended, by its own handle.
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info.hProcess, 1);
        }
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
};

DWORD ExitCodeAfter(HANDLE process, DWORD milliseconds) {
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

// How often the trace says that an engine was found.
size_t EnginesFound(const std::string& trace) {
    const std::string text = ReadBytes(trace);
    size_t found = 0;
    for (size_t at = text.find("# engine at"); at != std::string::npos;
         at = text.find("# engine at", at + 1)) {
        ++found;
    }
    return found;
}

std::string Bytes(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 8));
    return bytes;
}

// Status connected with the engine's id; an LED Write on the wire; an upgrade stopped, then one
// to 100 % that says so; the restart with the same command line.
TEST(ToolProcessTest, ConnectsWritesUpgradesStopsAndRestarts) {
    static ModulePathsRecord paths;
    TempDir folder;
    const std::string exe = folder.file("kq7300tool.exe");
    ASSERT_TRUE(CopyFileW(os::Wide(paths.moduleDir() + "kq7300tool.exe").c_str(),
                          os::Wide(exe).c_str(), FALSE));
    for (const char* language : {"English", "SimpChinese"}) {
        const std::string name = std::string("Language\\") + language + ".lang";
        WriteBytes(folder.file(name), ReadBytes(paths.moduleDir() + name));
    }
    WriteBytes(folder.file("Config.ini"), "[themes]\r\nSolution=English\r\n");
    WriteBytes(folder.file("usbloader.bin"), Bytes(2048, 'L'));
    const std::string firmware = folder.file("固件.bin");
    WriteBytes(firmware, Bytes(12288, 'F'));
    const std::string trace = folder.file("trace.txt");

    std::wstring commandLine =
        os::Wide("\"" + exe + "\" --virtual-engine=reboot-ms=0 --trace \"" + trace + "\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    Process tool;
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               os::Wide(folder.path()).c_str(), &startup, &tool.info));
    const DWORD pid = tool.info.dwProcessId;
    HWND main = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (main = TopLevelOf(pid, "KQ7300")) != nullptr; }));

    auto status = [&](int part) { return StatusText(tool.info.hProcess, main, part); };
    EXPECT_TRUE(WaitFor([&] { return status(0) == "Device connected"; })) << status(0);
    EXPECT_EQ(status(1), "Product ID: 0A-1B-2C-3D-4E-5F");

    // The box shows the engine's current, 50; Write sends it.
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(main, IDC_CURRENT_EDIT)) == "50"; }));
    Click(main, IDC_CURRENT_WRITE);
    EXPECT_TRUE(WaitFor([&] {
        return ReadBytes(trace).find("> 07 00 01 00 32 ") != std::string::npos;
    })) << ReadBytes(trace);

    // The file name as the browse button would put it, then Upgrade: the question first; Upgrade
    // there, and at once Stop: the message says so, the bar is back
    // at 0.
    SendMessageW(Control(main, IDC_FILE_NAME), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(os::Wide(firmware).c_str()));
    Click(main, IDC_UPGRADE);
    HWND box = UpgradeBox(pid, main);
    ASSERT_TRUE(box);
    EXPECT_TRUE(StartsOneWith(TextsBelow(box), "Upgrade the firmware of this light engine?"));
    ASSERT_TRUE(Press(box, "Upgrade"));
    ASSERT_TRUE(WaitFor([&] { return Enabled(main, IDC_STOP); }));
    Click(main, IDC_STOP);
    ASSERT_TRUE(box = UpgradeBox(pid, main, 60s));
    EXPECT_TRUE(StartsOneWith(TextsBelow(box), "The firmware upgrade was stopped."))
        << ::testing::PrintToString(TextsBelow(box));
    ASSERT_TRUE(Press(box, "OK"));
    EXPECT_TRUE(WaitFor([&] { return Enabled(main, IDC_UPGRADE) && !Enabled(main, IDC_STOP); }));
    EXPECT_EQ(Progress(main), 0);

    // Again, to the end: the message comes with the bar at 100.
    ASSERT_TRUE(WaitFor([&] { return TextOf(Control(main, IDC_FILE_NAME)) == firmware; }));
    Click(main, IDC_UPGRADE);
    ASSERT_TRUE(box = UpgradeBox(pid, main));
    ASSERT_TRUE(Press(box, "Upgrade"));
    ASSERT_TRUE(box = UpgradeBox(pid, main, 60s));
    EXPECT_EQ(Progress(main), 100);
    EXPECT_TRUE(StartsOneWith(TextsBelow(box), "Firmware upgrade succeeded."))
        << ::testing::PrintToString(TextsBelow(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return Progress(main) == 0 && Enabled(main, IDC_UPGRADE); }));
    EXPECT_NE(ReadBytes(trace).find("> 05 00 FD "), std::string::npos) << "the finish was sent";

    // The restart: a new instance with the same command line (its trace joins this one), and
    // this one closes.
    const size_t foundBefore = EnginesFound(trace);
    Click(main, IDC_RESTART);
    EXPECT_EQ(ExitCodeAfter(tool.info.hProcess, 10000), 0u);
    HWND again = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        again = nullptr;
        EnumWindows(
            [](HWND w, LPARAM found) {
                wchar_t text[16] = {};
                GetWindowTextW(w, text, 16);
                if (!IsWindowVisible(w) || std::wstring(text) != L"KQ7300") return TRUE;
                *reinterpret_cast<HWND*>(found) = w;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&again));
        return again != nullptr;
    }));
    DWORD againPid = 0;
    GetWindowThreadProcessId(again, &againPid);
    Process restarted;
    restarted.info.hProcess = OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, againPid);
    ASSERT_TRUE(restarted.info.hProcess);
    EXPECT_TRUE(WaitFor([&] { return EnginesFound(trace) > foundBefore; }))
        << "the new instance talks to a virtual engine and traces into the same file";
    PostMessageW(again, WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCodeAfter(restarted.info.hProcess, 10000), 0u);
}

}  // namespace
}  // namespace kq::test

int main(int argc, char** argv) {
    return kq::test::RunWindowTests(argc, argv);
}
