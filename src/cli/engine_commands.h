#pragma once

#include "cli/session.h"

namespace kq {

// kq7300ctl's status, power, led, current and flip: what the engine is asked over its link.
void AddEngineCommands(CLI::App& app, CtlCommand& chosen);

}  // namespace kq
