#pragma once

#include "cli/session.h"

namespace kq {

// kq7300ctl history [--json]: the upgrade history, oldest first; with --serial or --path only
// that engine's runs.
void AddHistoryCommand(CLI::App& app, CtlCommand& chosen);

}  // namespace kq
