#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kq {

class DeviceLink;
class Settings;
class Sleeper;

// One-time set-up state of the pages, kept for the whole process (the main window may be
// created more than once in tests, and a page's tab can be selected any number of times).
struct PageFlags {
    bool g_bLedPageFirstInit = true;
    bool g_bLedPageReadPending = true;
    bool g_bSystemPageFirstInit = true;
};

// Starting another instance of the program, and ending this one at once.
class ProcessStarter {
  public:
    virtual ~ProcessStarter() = default;
    virtual bool StartDetached(const std::string& program,
                               const std::vector<std::string>& arguments) = 0;
    virtual void ExitNow(int code) = 0;
};

// What the app hands to every window: the one link, the settings and the system services.
struct PageContext {
    DeviceLink& link;
    Settings& settings;
    PageFlags& flags;
    ProcessStarter& processes;
    std::string programPath;             // the running executable (UTF-8), for the restart
    std::vector<std::string> arguments;  // the command line after the program name, as given
    // The upgrade's long waits (loader restart, finish); null means real time.
    Sleeper* upgradeWaits = nullptr;
    // Where an upgrade saves the engine's previous firmware; none: nowhere (see UpgradeJob).
    std::optional<std::filesystem::path> backupDir{};
    // Where every upgrade run appends its line (UpgradeHistoryFile()); none: nowhere.
    std::optional<std::filesystem::path> historyFile{};
};

}  // namespace kq
