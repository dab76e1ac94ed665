#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace kq {

class DeviceLink;

struct UpgradeRequest {
    std::string firmware;
    std::string loader;  // empty: the loader beside the program
    // Filled from what the engine said before the upgrade: the product id names the backup.
    std::string productId;
    std::filesystem::path backupDir;  // empty: no backup
};

void AddUpgradeCommand(CLI::App& app, UpgradeRequest& request);

// Runs `upgrade` against an engine that has been found; returns the exit code.
int RunUpgradeCommand(DeviceLink& link, const UpgradeRequest& request, std::ostream& out,
                      std::ostream& err);

}  // namespace kq
