#pragma once

#include <iosfwd>

#include "cli/session.h"

namespace kq {

class HotplugSource;

// kq7300ctl's "list" and "monitor": what is on the bus, rather than what the engine says.
void AddUsbCommands(CLI::App& app, CtlCommand& chosen);

// Prints each arrival and removal of an engine, as a line of text or one JSON object per line,
// until SIGINT or SIGTERM, or until the output cannot be written.
int MonitorEngines(HotplugSource* source, std::ostream& out, std::ostream& err, bool json);

}  // namespace kq
