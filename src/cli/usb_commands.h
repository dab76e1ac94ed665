#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace kq {

class DeviceLink;
struct Backend;

// kq7300ctl's "list" and "monitor": what is on the bus, rather than what the engine says.
void AddUsbCommands(CLI::App& app);
bool IsUsbCommand(const std::string& name);
int RunUsbCommand(const std::string& name, Backend& backend, DeviceLink& link, std::ostream& out,
                  std::ostream& err);

}  // namespace kq
