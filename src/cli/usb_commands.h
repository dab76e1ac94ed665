#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace kq {

class DeviceLink;
class HotplugSource;
struct Backend;

// kq7300ctl's "list" and "monitor": what is on the bus, rather than what the engine says.
void AddUsbCommands(CLI::App& app);
bool IsUsbCommand(const std::string& name);
// Prints each arrival and removal of an engine until SIGINT or SIGTERM, or until the output
// cannot be written.
int MonitorEngines(HotplugSource* source, std::ostream& out, std::ostream& err);
int RunUsbCommand(const std::string& name, Backend& backend, DeviceLink& link, std::ostream& out,
                  std::ostream& err);

}  // namespace kq
