#pragma once

#include <atomic>
#include <filesystem>
#include <string_view>

namespace kq {

// How far an upgrade has gone, for what an interrupt can truthfully say about the engine.
enum class UpgradeStage : int {
    Asking,              // the user is asked whether to go on
    NothingWritten,      // nothing was sent that changes the engine
    StillInApplication,  // the loader is being written: the application firmware is untouched
    InLoader,            // StartLoader was sent: the engine runs its loader
    Finishing,           // FinishUpgrade was sent: there is nothing left to stop
};

// What asked an upgrade to stop.
enum class StopCause : int { None, Interrupt, Terminate, Close };

// The signals (the console's control events on Windows) during one upgrade run, from before
// the engine is first asked to the end of the run's messages. One at a time in a process.
//
// Ctrl-C (SIGINT) and SIGTERM ask for a stop at the next block boundary and say so at once; a
// second one ends the process at once (130 for Ctrl-C, 143 for SIGTERM), after saying where the
// engine is left and where its backup is and appending the run's history line prepared for
// that. SIGHUP and SIGPIPE are ignored: a closed terminal or output is no reason to stop writing
// firmware halfway; the writes that fail are lost. SIGPIPE stays ignored after the run, for the
// run's last messages. On Windows a closed console window, a log-off or a shutdown asks for a
// stop and waits for the run's end as long as the system lets it, appending the prepared line
// when the run is not over by then.
class UpgradeInterrupts {
  public:
    explicit UpgradeInterrupts(std::atomic<bool>& stopRequested);
    ~UpgradeInterrupts();
    UpgradeInterrupts(const UpgradeInterrupts&) = delete;
    UpgradeInterrupts& operator=(const UpgradeInterrupts&) = delete;

    void Stage(UpgradeStage stage);
    UpgradeStage stage() const;
    // The backup's file, as soon as the run knows it.
    void Backup(const std::filesystem::path& file, bool resumed);
    // The line (HistoryLine) the history file gets when the process is ended at once; an empty
    // line forgets it (the run has written its own).
    void PrepareHistory(const std::filesystem::path& file, std::string_view line);
    // What asked for the stop, if anything did.
    StopCause cause() const;
};

}  // namespace kq
