#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlink/discovery.h"
#include "usb/backend.h"

namespace CLI {
class App;
}

namespace kq {

class DeviceLink;

// kq7300ctl's options that come before (or after) any command.
struct CtlOptions {
    BackendOptions backend;
    DeviceFilter filter;  // --serial, --path
    bool json = false;
};

// What a command runs against: the output streams, the global options and, once Open has made
// them, the backend and the link.
class CtlSession {
  public:
    CtlSession(const CtlOptions& options, std::ostream& out, std::ostream& err);
    ~CtlSession();
    CtlSession(const CtlSession&) = delete;
    CtlSession& operator=(const CtlSession&) = delete;

    // Makes the backend and opens the trace: kExitOk, or kExitUsage after saying why.
    int Open();

    // Finds the one engine to talk to, the way status, power, led, current, flip and upgrade
    // need it: kExitOk, or an exit code after saying on stderr why not. An engine another
    // program holds is looked for again until waitOutBusy has passed (sleeping in between).
    int FindEngine(std::chrono::milliseconds waitOutBusy = std::chrono::milliseconds(0));
    // The parts of FindEngine, for status, which prints its "not connected" in between:
    // several engines and none chosen is a usage error...
    int RefuseSeveralEngines();
    // ...then discovery, with the filter; on success the engine is marked present...
    bool FindChosenEngine();
    // ...and when it found nothing usable, why, with the exit code.
    int ExplainNotFound();
    // After a command to the engine failed: when the engine was busy (another program held it
    // at a transfer), says so and gives kExitBusy; otherwise 0, and the caller tells its own.
    int ExplainIfBusy();
    // kExitBusy when the last transfer found the engine busy, else kExitFailed.
    int FailureCode();

    // The engines present that --serial and --path admit, in the order the system lists them.
    std::vector<InterfaceEntry> PresentEngines();
    // Whether the engine search can ever take this engine: its instance is the engine's own, or
    // a USB device with that instance is present, which lets the search take any instance.
    bool SearchMayTake(const InterfaceEntry& engine);
    // "no engine found", naming the filter when there is one.
    std::string NoEngineText() const;

    const CtlOptions& options() const { return options_; }
    bool json() const { return options_.json; }
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }
    Backend& backend() { return engine_.backend; }
    DeviceLink& link() { return *engine_.link; }

  private:
    std::vector<InterfaceEntry> Candidates();
    int ExplainBusy(const std::string& detail);

    const CtlOptions& options_;
    std::optional<bool> standardNodePresent_;
    std::ostream& out_;
    std::ostream& err_;
    EngineLink engine_;
};

// What to do when the system refuses this user the engine, in the system's own terms.
std::string NoPermissionAdvice();

// The name list and status give an engine and --path takes: its place on the bus where that is
// a word a shell takes unquoted ("1-1.2", "virtual-1"), else its interface path (Windows).
std::string EngineName(const InterfaceEntry& engine);
std::string EngineName(const std::string& place, const std::string& interfacePath);
// Whether --path P names an interface path (the Windows form) rather than a place.
bool IsInterfacePath(const std::string& path);

// A command's work. Its subcommand's callback chooses it while the command line is parsed; it
// runs once parsing has succeeded.
using CtlCommand = std::function<int(CtlSession&)>;

// Adds the subcommand `name` that makes `run` the command to run.
CLI::App* AddCommand(CLI::App& app, CtlCommand& chosen, const std::string& name,
                     const std::string& description, CtlCommand run);

// A command line as the parser understood it. The options and the command's arguments live in
// `parser`, which the request keeps alive.
struct CtlRequest {
    CtlOptions options;
    CtlCommand command;  // empty when there is nothing to run
    std::unique_ptr<CLI::App> parser;
};

// Parses kq7300ctl's arguments (without the program name), running nothing and touching no
// device or file. kExitOk with request.command set: a command to run. Otherwise the exit code,
// once --help or --version has printed to out (kExitOk) or a usage error has been told on err
// (kExitUsage). `request` must not move while this runs.
int ParseCtl(const std::vector<std::string>& args, CtlRequest& request, std::ostream& out,
             std::ostream& err);

}  // namespace kq
