#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kq {

// Exit codes of kq7300ctl.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,  // the engine did not do what was asked, or the output was not written
    kExitUsage = 2,
    kExitNoEngine = 3,
    kExitNoPermission = 4,  // an engine is there but may not be opened
    kExitBusy = 5,          // the engine is in use by another program
    // upgrade's own ends.
    kExitDeclined = 6,        // the question before writing was answered no: nothing written
    kExitStayedInLoader = 7,  // after the finish the engine still runs its loader
    kExitUnexpectedMode = 8,  // after the finish it gave another answer than "APP"
    kExitNotBack = 9,         // after the finish it did not come back
    kExitOtherEngine = 10,    // after a restart another engine was found, not this one
    kExitNoBackup = 11,       // the backup folder cannot take the image: nothing written
    kExitBackupFailed = 12,   // a block's old bytes could not be saved: that block not written
    kExitInterrupted = 130,   // a second Ctrl-C ended the upgrade at once
    kExitTerminated = 143,    // SIGTERM stopped the upgrade (a second one: at once)
};

// Runs kq7300ctl with the given arguments (without the program name).
int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kq
