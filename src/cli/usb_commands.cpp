#include "cli/usb_commands.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <ostream>

#include "cli/ctl.h"
#include "cli/ctl_text.h"
#include "cli/json.h"
#include "devlink/link.h"
#include "usb/backend.h"

namespace kq {
namespace {

const char* OpenErrorName(OpenError e) {
    switch (e) {
        case OpenError::None:
            return "none";
        case OpenError::Absent:
            return "absent";
        case OpenError::NoPermission:
            return "permission_denied";
        case OpenError::Busy:
            return "busy";
        case OpenError::Other:
            return "other";
    }
    return "other";
}

std::string EngineJson(const InterfaceEntry& entry, const OpenResult& opened) {
    JsonObject engine;
    engine.String("path", EngineName(entry))
        .StringOrNull("serial", entry.serial)
        .StringOrNull("location", entry.location)
        .Bool("can_open", opened.ok());
    if (opened.ok()) {
        engine.Raw("open_error", "null");
    } else {
        engine.String("open_error", OpenErrorName(opened.error));
    }
    return engine.StringOrNull("detail", opened.detail)
        .StringOrNull("place", entry.place)
        .String("interface_path", entry.path)
        .str();
}

CtlText OpenErrorWords(OpenError e) {
    switch (e) {
        case OpenError::NoPermission:
            return CtlText::OpenNoPermission;
        case OpenError::Busy:
            return CtlText::OpenBusy;
        case OpenError::Absent:
            return CtlText::OpenAbsent;
        case OpenError::None:
        case OpenError::Other:
            break;
    }
    return CtlText::OpenOther;
}

void PrintEngine(std::ostream& out, const InterfaceEntry& entry, const OpenResult& opened,
                 bool searchMayTake) {
    const std::string why = Say(OpenErrorWords(opened.error));
    const std::string open = opened.ok() ? Say(CtlText::ListCanOpen)
                             : opened.detail.empty()
                                 ? Say(CtlText::ListCannotOpen, {why})
                                 : Say(CtlText::ListCannotOpenDetail, {why, opened.detail});
    out << Say(CtlText::ListEngine,
               {EngineName(entry), entry.serial.empty() ? "-" : entry.serial,
                entry.location.empty() ? Say(CtlText::ListLocationUnknown) : entry.location, open});
    // Listed because it looks like an engine, yet the engine search would pass it by.
    if (!searchMayTake) out << "  " << Say(CtlText::ListNotUsed, {kEngineInstance});
    out << '\n';
}

int List(CtlSession& s) {
    int usable = 0;
    int denied = 0;
    int busy = 0;
    std::vector<std::string> objects;
    const std::vector<InterfaceEntry> engines = s.PresentEngines();
    for (const InterfaceEntry& entry : engines) {
        const OpenResult opened = s.link().platform().TestOpen(entry);
        if (opened.ok()) {
            ++usable;
        } else {
            if (opened.error == OpenError::NoPermission) ++denied;
            if (opened.error == OpenError::Busy) ++busy;
            s.link().trace().Note(entry.path + ": " + OpenErrorText(opened.error));
        }
        if (s.json()) {
            objects.push_back(EngineJson(entry, opened));
        } else {
            PrintEngine(s.out(), entry, opened, s.SearchMayTake(entry));
        }
    }
    if (s.json()) s.out() << JsonObject().Raw("engines", JsonArray(objects)).str() << '\n';
    if (engines.empty()) {
        s.err() << Say(CtlText::Error, {s.NoEngineText()}) << '\n';
        return kExitNoEngine;
    }
    if (usable == 0 && denied > 0) {
        s.err() << Say(CtlText::Error, {Say(CtlText::ListNoPermission)}) << '\n'
                << NoPermissionAdvice() << '\n';
        return kExitNoPermission;
    }
    if (usable == 0 && busy > 0) {
        s.err() << Say(CtlText::Error, {Say(CtlText::Busy)}) << '\n';
        return kExitBusy;
    }
    return kExitOk;
}

// Wakes the monitor's thread for an engine event, from the hotplug thread, and for the end,
// from an interrupt (Ctrl-C; on POSIX systems SIGTERM too). One at a time.
class MonitorWake {
  public:
    MonitorWake();
    ~MonitorWake();
    MonitorWake(const MonitorWake&) = delete;
    MonitorWake& operator=(const MonitorWake&) = delete;

    // False when the wake-up could not be set up.
    bool ok() const;
    void Event();
    // Sleeps until an event or an interrupt came, and says whether an interrupt did; false
    // when waiting failed.
    bool Wait(bool& interrupted);

#ifdef _WIN32
    void Interrupt();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool event_ = false;
    bool interrupted_ = false;
#else
  private:
    int wake_[2] = {-1, -1};
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
#endif
};

#ifdef _WIN32
std::atomic<MonitorWake*> g_monitorWake{nullptr};

// Runs on a thread of its own, which the system starts for each Ctrl-C or Ctrl-Break.
BOOL WINAPI WakeOnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (MonitorWake* wake = g_monitorWake.load()) wake->Interrupt();
    return TRUE;
}

MonitorWake::MonitorWake() {
    g_monitorWake = this;
    SetConsoleCtrlHandler(WakeOnConsoleControl, TRUE);
}

MonitorWake::~MonitorWake() {
    SetConsoleCtrlHandler(WakeOnConsoleControl, FALSE);
    g_monitorWake = nullptr;
}

bool MonitorWake::ok() const {
    return true;
}

void MonitorWake::Event() {
    {
        std::lock_guard lock(mutex_);
        event_ = true;
    }
    changed_.notify_one();
}

void MonitorWake::Interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    changed_.notify_one();
}

bool MonitorWake::Wait(bool& interrupted) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return event_ || interrupted_; });
    event_ = false;
    interrupted = interrupted_;
    return true;
}
#else
// The signal handler may only write to a pipe; the main thread sleeps reading its other end.
int g_wakeFd = -1;

extern "C" void WakeOnSignal(int) {
    const int saved = errno;
    const char stop = 's';
    if (g_wakeFd >= 0) [[maybe_unused]]
        auto n = write(g_wakeFd, &stop, 1);
    errno = saved;
}

MonitorWake::MonitorWake() {
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
        return;
    }
    // A full pipe already wakes the reader, so a byte that does not fit may be dropped.
    fcntl(wake_[1], F_SETFL, O_NONBLOCK);
    g_wakeFd = wake_[1];
    struct sigaction action {};
    action.sa_handler = WakeOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
}

MonitorWake::~MonitorWake() {
    if (!ok()) return;
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    g_wakeFd = -1;
    close(wake_[0]);
    close(wake_[1]);
}

bool MonitorWake::ok() const {
    return wake_[0] >= 0;
}

void MonitorWake::Event() {
    const char event = 'e';
    [[maybe_unused]] auto n = write(wake_[1], &event, 1);
}

bool MonitorWake::Wait(bool& interrupted) {
    while (true) {
        char bytes[64];
        const ssize_t n = read(wake_[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) interrupted |= bytes[i] == 's';
        return true;
    }
}
#endif

}  // namespace

int MonitorEngines(HotplugSource* source, std::ostream& out, std::ostream& err, bool json) {
    if (!source) {
        err << Say(CtlText::Error, {Say(CtlText::NoHotplug)}) << '\n';
        return kExitFailed;
    }
    MonitorWake wake;
    if (!wake.ok()) {
        err << Say(CtlText::Error, {Say(CtlText::NoPipe)}) << '\n';
        return kExitFailed;
    }

    std::mutex mutex;
    std::deque<HotplugEvent> events;
    source->Start([&](const HotplugEvent& e) {
        if (e.interfaceClass != EngineInterfaceClass) return;
        if (!MatchVidPid(e.path, kEngineVendorId, kEngineProductId)) return;
        {
            std::lock_guard lock(mutex);
            events.push_back(e);
        }
        wake.Event();
    });
    err << Say(CtlText::Watching) << '\n' << std::flush;

    bool stopping = false;
    while (!stopping && wake.Wait(stopping)) {
        std::deque<HotplugEvent> ready;
        {
            std::lock_guard lock(mutex);
            ready.swap(events);
        }
        for (const HotplugEvent& e : ready) {
            const char* kind = e.kind == DeviceEventKind::Arrival ? "arrival" : "removal";
            if (json) {
                out << JsonObject().String("event", kind).String("path", e.path).str();
            } else {
                out << kind << ' ' << e.path;
            }
            out << std::endl;
        }
        // Nobody reads the lines any more (a closed pipe ends the program by SIGPIPE before).
        if (!out) break;
    }
    source->Stop();
    return out ? kExitOk : kExitFailed;
}

void AddUsbCommands(CLI::App& app, CtlCommand& chosen) {
    AddCommand(app, chosen, "list",
               "List every engine present: path (its place on the bus), serial, location and "
               "whether this user can open it",
               List);
    AddCommand(app, chosen, "monitor",
               "Print 'arrival PATH' and 'removal PATH' as engines come and go, until interrupted",
               [](CtlSession& s) {
                   return MonitorEngines(s.backend().hotplug, s.out(), s.err(), s.json());
               });
}

}  // namespace kq
