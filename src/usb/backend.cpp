#include "usb/backend.h"

#include <CLI/CLI.hpp>

namespace kq {

void AddBackendOptions(CLI::App& app, BackendOptions& options) {
    // The settings are optional; a command name that follows is never taken for them.
    options.virtualEngineFlag =
        app.add_option("--virtual-engine", options.engineSettings,
                       "Talk to a virtual engine instead of USB; SETTINGS is key=value,... "
                       "(mode, product-id, current, block-size, serial, vid, pid, reboot-ms, "
                       "fault)")
            ->expected(0, 1)
            ->type_name("[=SETTINGS]");
    app.add_option("--trace", options.tracePath, "Append every frame on the wire to FILE")
        ->type_name("FILE");
}

bool BackendOptions::useVirtualEngine() const {
    return virtualEngineFlag && virtualEngineFlag->count() > 0;
}

bool MakeBackend(const BackendOptions& options, Backend& backend, std::string* error) {
    if (options.useVirtualEngine()) {
        auto settings = ParseEngineSettings(options.engineSettings, error);
        if (!settings) return false;
        backend.bus = std::make_shared<VirtualBus>();
        backend.engine = backend.bus->Plug(*settings);
        backend.platform = backend.bus.get();
        backend.hotplug = backend.bus.get();
        return true;
    }
    backend.ownedPlatform = MakeSystemPlatform();
    backend.platform = backend.ownedPlatform.get();
    backend.ownedHotplug = MakeSystemHotplug();
    backend.hotplug = backend.ownedHotplug.get();
    return true;
}

}  // namespace kq
