#pragma once

#include "cli/session.h"

namespace kq {

// kq7300ctl upgrade FIRMWARE [--loader FILE]: the image files are checked before any engine is
// looked for.
void AddUpgradeCommand(CLI::App& app, CtlCommand& chosen);

}  // namespace kq
