#pragma once

#include <memory>
#include <string>

#include "devlink/platform.h"
#include "emulator/virtual_bus.h"

namespace CLI {
class App;
class Option;
}

namespace kq {

// The options every program of the tool shares: which engine to talk to and where to trace.
struct BackendOptions {
    bool useVirtualEngine() const;

    CLI::Option* virtualEngineFlag = nullptr;
    std::string engineSettings;  // "key=value,..." for the virtual engine
    std::string tracePath;
};

void AddBackendOptions(CLI::App& app, BackendOptions& options);

// The platform the link talks through: the system's USB or a bus with one virtual engine.
struct Backend {
    std::unique_ptr<DevicePlatform> ownedPlatform;
    DevicePlatform* platform = nullptr;
    HotplugSource* hotplug = nullptr;         // null when the platform has no events
    std::shared_ptr<VirtualBus> bus;           // set for the virtual engine
    std::shared_ptr<VirtualEngine> engine;
    std::unique_ptr<HotplugSource> ownedHotplug;
};

// Returns false with *error set when the engine settings are not understood.
bool MakeBackend(const BackendOptions& options, Backend& backend, std::string* error);

// The system's own USB; defined by the USB backend.
std::unique_ptr<DevicePlatform> MakeSystemPlatform();
std::unique_ptr<HotplugSource> MakeSystemHotplug();

}  // namespace kq
