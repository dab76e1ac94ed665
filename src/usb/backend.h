#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devlink/link.h"
#include "devlink/platform.h"
#include "emulator/virtual_bus.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace kq {

// The options every program of the tool shares: which engine to talk to and where to trace.
struct BackendOptions {
    bool useVirtualEngine() const;

    CLI::Option* virtualEngineFlag = nullptr;
    // "key=value,..." for each virtual engine; the option may be given once per engine.
    std::vector<std::string> engineSettings;
    std::string tracePath;
};

void AddBackendOptions(CLI::App& app, BackendOptions& options);

// The platform the link talks through: the system's USB or a bus with virtual engines.
struct Backend {
    std::unique_ptr<DevicePlatform> ownedPlatform;
    DevicePlatform* platform = nullptr;
    HotplugSource* hotplug = nullptr;  // null when the platform has no events
    std::shared_ptr<VirtualBus> bus;   // set for virtual engines
    std::vector<std::shared_ptr<VirtualEngine>> engines;
    std::unique_ptr<HotplugSource> ownedHotplug;
};

// Returns false with *error set when the engine settings are not understood.
bool MakeBackend(const BackendOptions& options, Backend& backend, std::string* error);

// What a program talks to its engines through: the backend, and the link over it with the trace
// the options ask for.
struct EngineLink {
    Backend backend;
    std::unique_ptr<DeviceLink> link;
};

// The one way the programs open their link: makes the backend and the link, and opens the trace
// file when the options name one. False with *error saying why not, in the user's terms
// ("--virtual-engine: ..." or "cannot open trace file F"); the caller adds "error: ".
bool OpenEngineLink(const BackendOptions& options, EngineLink& out, std::string* error);

// The system's own USB; defined by the USB backend.
std::unique_ptr<DevicePlatform> MakeSystemPlatform();
std::unique_ptr<HotplugSource> MakeSystemHotplug();

}  // namespace kq
