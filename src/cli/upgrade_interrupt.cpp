#include "cli/upgrade_interrupt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "cli/ctl_text.h"
#include "os/file.h"
#include "os/os.h"

namespace kq {
namespace {

// What a handler says, in the language in use, made before the handlers are installed: a
// handler only writes them as they stand.
struct Said {
    std::string stopAfterBlock, termStopAfterBlock, nothingToStop;
    std::string nothingWritten, inApplication, inLoader, finishing;
    std::string noBackup;
};
Said g_said;

// "\n", the text, "\n": said on a line of its own after the progress line.
std::string Line(CtlText text) {
    return '\n' + Say(text) + '\n';
}

std::atomic<bool>* g_stop = nullptr;
std::atomic<int> g_stage{static_cast<int>(UpgradeStage::NothingWritten)};
std::atomic<int> g_cause{static_cast<int>(StopCause::None)};
std::atomic<bool> g_runOver{true};

// The lines that say where the backup is, once there is one.
char g_backup[8192];
std::atomic<size_t> g_backupLength{0};

// Two slots, so the one a handler may be reading is never the one being written.
struct PreparedLine {
    char file[4096];
    char text[16384];  // "\n", the line, "\n"
    size_t length;
};
PreparedLine g_lines[2];
std::atomic<int> g_line{-1};

static_assert(std::atomic<size_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

#ifdef _WIN32
void Say(const char* text, size_t length) {
    // Straight to the handle, past the C library's locks, which the interrupted thread may hold;
    // lines end as those of the text-mode stderr. A lost message is no reason to stop.
    std::string lines;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') lines += '\r';
        lines += text[i];
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), lines.data(), static_cast<DWORD>(lines.size()),
              &written, nullptr);
}

void AppendPrepared() {
    const int index = g_line.exchange(-1);
    if (index < 0) return;
    const PreparedLine& p = g_lines[index];
    std::error_code ec;
    os::AppendLine(os::PathFromUtf8(p.file), std::string_view(p.text + 1, p.length - 2), ec);
}
#else
void Say(const char* text, size_t length) {
    // Only write(2) may be used here; a lost message is no reason to stop.
    const ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
}

// As os::AppendLine, with nothing but async-signal-safe calls.
void AppendPrepared() {
    const int index = g_line.exchange(-1);
    if (index < 0) return;
    const PreparedLine& p = g_lines[index];
    const int fd = open(p.file, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    struct stat st {};
    char last = '\n';
    const bool cut = fstat(fd, &st) == 0 && st.st_size > 0 &&
                     pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
    const size_t from = cut ? 0 : 1;
    const ssize_t ignored = write(fd, p.text + from, p.length - from);
    (void)ignored;
    fsync(fd);
    close(fd);
}
#endif

void Say(const char* text) {
    Say(text, std::strlen(text));
}

UpgradeStage Stage() {
    return static_cast<UpgradeStage>(g_stage.load());
}

void SayBackup() {
    const size_t length = g_backupLength.load(std::memory_order_acquire);
    if (length == 0) {
        Say(g_said.noBackup.c_str());
        return;
    }
    Say(g_backup, length);
}

// The first Ctrl-C asks for a stop at the next block and says so at once; a second one ends the
// program now, for a stop that would otherwise wait out the loader's restart, and says in what
// state the engine is left. Every byte a written block replaced is in the backup already.
void Interrupted(StopCause cause) {
    if (g_stop == nullptr) return;
    if (!g_stop->exchange(true)) {
        g_cause = static_cast<int>(cause);
        switch (Stage()) {
            case UpgradeStage::Asking:
                Say("\n");  // the question is answered "no"
                break;
            case UpgradeStage::Finishing:
                Say(g_said.nothingToStop.c_str());
                break;
            default:
                Say(cause == StopCause::Terminate ? g_said.termStopAfterBlock.c_str()
                                                  : g_said.stopAfterBlock.c_str());
                break;
        }
        return;
    }
    switch (Stage()) {
        case UpgradeStage::Asking:
        case UpgradeStage::NothingWritten:
            Say(g_said.nothingWritten.c_str());
            break;
        case UpgradeStage::StillInApplication:
            Say(g_said.inApplication.c_str());
            break;
        case UpgradeStage::InLoader:
            Say(g_said.inLoader.c_str());
            break;
        case UpgradeStage::Finishing:
            Say(g_said.finishing.c_str());
            break;
    }
    SayBackup();
    AppendPrepared();
    const int code = cause == StopCause::Terminate ? 128 + 15 : 128 + 2;
#ifdef _WIN32
    // At once, as _exit is on POSIX: ExitProcess would first wait for the loader lock, which
    // the thread the console is starting for the next press may hold.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
#endif
    _exit(code);
}

#ifdef _WIN32
// The system gives a closing console's processes about five seconds before it ends them.
constexpr DWORD kCloseWaitMs = 4500;

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            Interrupted(StopCause::Interrupt);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (g_stop != nullptr && !g_stop->exchange(true)) {
                g_cause = static_cast<int>(StopCause::Close);
            }
            for (DWORD waited = 0; waited < kCloseWaitMs && !g_runOver; waited += 50) Sleep(50);
            if (!g_runOver) AppendPrepared();
            return TRUE;
        default:
            return FALSE;
    }
}

void Install() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
void Uninstall() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}
#else
extern "C" void OnSignal(int signal) {
    Interrupted(signal == SIGTERM ? StopCause::Terminate : StopCause::Interrupt);
}

struct sigaction g_previousInt {};
struct sigaction g_previousTerm {};
struct sigaction g_previousHup {};

void Install() {
    // No SA_RESTART: a question waiting for its answer learns of Ctrl-C.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGHUP, &ignore, &g_previousHup);
    sigaction(SIGPIPE, &ignore, nullptr);
}
void Uninstall() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    sigaction(SIGHUP, &g_previousHup, nullptr);
}
#endif

}  // namespace

UpgradeInterrupts::UpgradeInterrupts(std::atomic<bool>& stopRequested) {
    stopRequested = false;
    g_stage = static_cast<int>(UpgradeStage::NothingWritten);
    g_cause = static_cast<int>(StopCause::None);
    g_backupLength = 0;
    g_line = -1;
    g_said = {Line(CtlText::StopAfterBlock),
              Line(CtlText::TermStopAfterBlock),
              Line(CtlText::NothingToStop),
              Line(CtlText::InterruptedNothingWritten),
              Line(CtlText::InterruptedInApplication),
              Line(CtlText::InterruptedInLoader),
              Line(CtlText::InterruptedFinishing),
              Say(CtlText::NoBackupMade) + '\n'};
    g_runOver = false;
    g_stop = &stopRequested;
    Install();
}

UpgradeInterrupts::~UpgradeInterrupts() {
    Uninstall();
    g_runOver = true;
    g_line = -1;
    g_stop = nullptr;
}

void UpgradeInterrupts::Stage(UpgradeStage stage) {
    g_stage = static_cast<int>(stage);
}

UpgradeStage UpgradeInterrupts::stage() const {
    return kq::Stage();
}

void UpgradeInterrupts::Backup(const std::filesystem::path& file, bool resumed) {
    std::string lines = Say(CtlText::BackupIs, {os::Utf8Of(file)}) + '\n';
    if (resumed) lines += Say(CtlText::SavedResumed) + '\n';
    lines += Say(CtlText::RestoreWithFile) + '\n';
    g_backupLength.store(0, std::memory_order_release);
    const size_t length = std::min(lines.size(), sizeof g_backup);
    std::memcpy(g_backup, lines.data(), length);
    g_backupLength.store(length, std::memory_order_release);
}

void UpgradeInterrupts::PrepareHistory(const std::filesystem::path& file, std::string_view line) {
    const std::string name = os::Utf8Of(file);
    if (line.empty() || name.empty()) {
        g_line = -1;
        return;
    }
    const int index = g_line.load() == 0 ? 1 : 0;
    PreparedLine& p = g_lines[index];
    if (name.size() >= sizeof p.file || line.size() + 2 > sizeof p.text) {
        g_line = -1;
        return;
    }
    std::memcpy(p.file, name.c_str(), name.size() + 1);
    p.text[0] = '\n';
    std::memcpy(p.text + 1, line.data(), line.size());
    p.text[line.size() + 1] = '\n';
    p.length = line.size() + 2;
    g_line.store(index, std::memory_order_release);
}

StopCause UpgradeInterrupts::cause() const {
    return static_cast<StopCause>(g_cause.load());
}

}  // namespace kq
