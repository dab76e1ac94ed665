#include "usb/backend.h"

#include <CLI/CLI.hpp>

namespace kq {

void AddBackendOptions(CLI::App& app, BackendOptions& options) {
    // The settings are optional, at most one word each time the option is given, so that the
    // word after --virtual-engine=SETTINGS is never taken for more of them.
    options.virtualEngineFlag =
        app.add_option("--virtual-engine", options.engineSettings,
                       "Talk to a virtual engine instead of USB; SETTINGS is key=value,... "
                       "(mode, product-id, current, block-size, serial, vid, pid, reboot-ms, "
                       "flash, flash-out, fault). Given again, it plugs one more engine")
            ->expected(0, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->allow_extra_args(false)
            ->option_text("[=SETTINGS]");
    app.add_option("--trace", options.tracePath, "Append every frame on the wire to FILE")
        ->type_name("FILE");
}

bool BackendOptions::useVirtualEngine() const {
    return virtualEngineFlag && virtualEngineFlag->count() > 0;
}

bool MakeBackend(const BackendOptions& options, Backend& backend, std::string* error) {
    if (options.useVirtualEngine()) {
        std::vector<EngineSettings> engines;
        for (const std::string& text : options.engineSettings) {
            auto settings = ParseEngineSettings(text, error);
            if (!settings) return false;
            engines.push_back(std::move(*settings));
        }
        // A bare --virtual-engine leaves nothing in the list, yet asks for one engine.
        if (engines.empty()) engines.emplace_back();
        backend.bus = std::make_shared<VirtualBus>();
        for (EngineSettings& settings : engines) {
            backend.engines.push_back(backend.bus->Plug(std::move(settings)));
            if (const std::string& why = backend.engines.back()->fileError(); !why.empty()) {
                if (error) *error = why;
                return false;
            }
        }
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

bool OpenEngineLink(const BackendOptions& options, EngineLink& out, std::string* error) {
    std::string problem;
    if (!MakeBackend(options, out.backend, &problem)) {
        if (error) *error = "--virtual-engine: " + problem;
        return false;
    }
    out.link = std::make_unique<DeviceLink>(*out.backend.platform);
    if (!options.tracePath.empty() && !out.link->trace().Open(options.tracePath)) {
        if (error) *error = "cannot open trace file " + options.tracePath;
        return false;
    }
    return true;
}

}  // namespace kq
