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
};

// Runs kq7300ctl with the given arguments (without the program name).
int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kq
