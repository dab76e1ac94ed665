#include "cli/session.h"

#include <algorithm>
#include <ostream>
#include <set>
#include <thread>
#include <utility>

#include "cli/ctl.h"
#include "devlink/link.h"

namespace kq {

CtlSession::CtlSession(const CtlOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

CtlSession::~CtlSession() = default;

int CtlSession::Open() {
    std::string error;
    if (!OpenEngineLink(options_.backend, engine_, &error)) {
        err_ << "error: " << error << '\n';
        return kExitUsage;
    }
    engine_.link->setFilter(options_.filter);
    return kExitOk;
}

int CtlSession::FindEngine(std::chrono::milliseconds waitOutBusy) {
    if (const int code = RefuseSeveralEngines(); code != kExitOk) return code;
    const auto deadline = std::chrono::steady_clock::now() + waitOutBusy;
    while (!FindChosenEngine()) {
        if (engine_.link->lastDiscoveryError() != OpenError::Busy ||
            std::chrono::steady_clock::now() >= deadline) {
            return ExplainNotFound();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return kExitOk;
}

// With two engines on the bus, a guess could flash the wrong one. The refusal offers only what
// tells them apart: a serial shared by two engines (or unknown) chooses neither; their places
// and paths always differ.
int CtlSession::RefuseSeveralEngines() {
    const std::vector<InterfaceEntry> engines = Candidates();
    if (engines.size() < 2) return kExitOk;
    std::set<std::string> serials;
    bool serialsDiffer = true;
    for (const InterfaceEntry& engine : engines) {
        if (engine.serial.empty() || !serials.insert(engine.serial).second) serialsDiffer = false;
    }
    err_ << "error: " << engines.size();
    if (!options_.filter.serial.empty()) {
        err_ << " engines have serial " << options_.filter.serial
             << "; choose one with --path P:\n";
    } else if (serialsDiffer) {
        err_ << " engines are attached; choose one with --serial S or --path P:\n";
    } else {
        err_ << " engines are attached and their serials do not tell them apart; choose one with "
                "--path P:\n";
    }
    for (const InterfaceEntry& engine : engines) {
        err_ << "  " << EngineName(engine) << "  serial "
             << (engine.serial.empty() ? "-" : engine.serial) << '\n';
    }
    return kExitUsage;
}

bool CtlSession::SearchMayTake(const InterfaceEntry& engine) {
    std::string instance;
    ExtractInstance(engine.path, instance);
    if (instance == kEngineInstance) return true;
    if (!standardNodePresent_) {
        standardNodePresent_ = false;
        for (const InterfaceEntry& node :
             engine_.backend.platform->ListInterfaces(GUID_DEVINTERFACE_USB_DEVICE)) {
            std::string nodeInstance;
            ExtractInstance(node.path, nodeInstance);
            if (MatchVidPid(node.path, kEngineVendorId, kEngineProductId) &&
                nodeInstance == kEngineInstance) {
                standardNodePresent_ = true;
            }
        }
    }
    return *standardNodePresent_;
}

std::vector<InterfaceEntry> CtlSession::Candidates() {
    std::vector<InterfaceEntry> engines = PresentEngines();
    std::erase_if(engines, [this](const InterfaceEntry& e) { return !SearchMayTake(e); });
    return engines;
}

bool CtlSession::FindChosenEngine() {
    if (!engine_.link->FindDevice()) return false;
    engine_.link->DevicePresent = 1;
    return true;
}

int CtlSession::ExplainNotFound() {
    switch (engine_.link->lastDiscoveryError()) {
        case OpenError::NoPermission:
            err_ << "error: an engine is attached but this user may not open it ("
                 << engine_.link->lastDiscoveryDetail() << ").\n"
                 << NoPermissionAdvice() << '\n';
            return kExitNoPermission;
        case OpenError::Busy:
            return ExplainBusy(engine_.link->lastDiscoveryDetail());
        case OpenError::Other:
            err_ << "error: an engine is attached but cannot be opened ("
                 << engine_.link->lastDiscoveryDetail() << ")\n";
            return kExitFailed;
        default:
            err_ << "error: " << NoEngineText() << '\n';
            return kExitNoEngine;
    }
}

int CtlSession::ExplainIfBusy() {
    const OpenResult opened = engine_.link->lastPipeOpen();
    return opened.error == OpenError::Busy ? ExplainBusy(opened.detail) : 0;
}

int CtlSession::FailureCode() {
    return engine_.link->lastPipeOpen().error == OpenError::Busy ? kExitBusy : kExitFailed;
}

int CtlSession::ExplainBusy(const std::string& detail) {
    err_ << "error: the engine is in use by another program"
         << (detail.empty() ? "" : " (" + detail + ")")
         << "; try again when that program is done with it\n";
    return kExitBusy;
}

std::vector<InterfaceEntry> CtlSession::PresentEngines() {
    std::vector<InterfaceEntry> engines;
    for (InterfaceEntry& entry : engine_.backend.platform->ListInterfaces(EngineInterfaceClass)) {
        if (MatchVidPid(entry.path, kEngineVendorId, kEngineProductId) &&
            options_.filter.Admits(entry)) {
            engines.push_back(std::move(entry));
        }
    }
    return engines;
}

const char* NoPermissionAdvice() {
#ifdef _WIN32
    return "Check that the engine's driver is installed and that no other program holds the "
           "engine, then plug it in again.";
#else
    return "Install the tool's package, which brings the udev rule 70-kq7300.rules (or copy the "
           "rule into /etc/udev/rules.d); without a desktop session, add the user to the group "
           "plugdev. Then plug the engine in again.";
#endif
}

std::string CtlSession::NoEngineText() const {
    std::string text = "no engine found";
    if (!options_.filter.serial.empty()) text += " with serial " + options_.filter.serial;
    if (!options_.filter.path.empty()) text += " at " + options_.filter.path;
    if (!options_.filter.place.empty()) text += " at " + options_.filter.place;
    return text;
}

// A word a shell takes as it stands: no quoting, globbing, expansion or separator character.
std::string EngineName(const std::string& place, const std::string& interfacePath) {
    const bool plain = !place.empty() && std::all_of(place.begin(), place.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || c == ':';
    });
    return plain ? place : interfacePath;
}

std::string EngineName(const InterfaceEntry& engine) {
    return EngineName(engine.place, engine.path);
}

bool IsInterfacePath(const std::string& path) {
    return path.starts_with("\\\\");
}

}  // namespace kq
