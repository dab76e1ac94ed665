#include "cli/session.h"

#include <algorithm>
#include <ostream>
#include <set>
#include <thread>
#include <utility>

#include "cli/ctl.h"
#include "cli/ctl_text.h"
#include "devlink/link.h"

namespace kq {

CtlSession::CtlSession(const CtlOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

CtlSession::~CtlSession() = default;

int CtlSession::Open() {
    std::string error;
    if (!OpenEngineLink(options_.backend, engine_, &error)) {
        err_ << Say(CtlText::Error, {error}) << '\n';
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
    const std::string count = std::to_string(engines.size());
    const std::string& serial = options_.filter.serial;
    const std::string refusal = !serial.empty() ? Say(CtlText::SeveralWithSerial, {count, serial})
                                : serialsDiffer ? Say(CtlText::SeveralEngines, {count})
                                                : Say(CtlText::SeveralAlike, {count});
    err_ << Say(CtlText::Error, {refusal}) << '\n';
    for (const InterfaceEntry& engine : engines) {
        err_ << "  "
             << Say(CtlText::EngineChoice,
                    {EngineName(engine), engine.serial.empty() ? "-" : engine.serial})
             << '\n';
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
            err_ << Say(CtlText::Error,
                        {Say(CtlText::NoPermission, {engine_.link->lastDiscoveryDetail()})})
                 << '\n'
                 << NoPermissionAdvice() << '\n';
            return kExitNoPermission;
        case OpenError::Busy:
            return ExplainBusy(engine_.link->lastDiscoveryDetail());
        case OpenError::Other:
            err_ << Say(CtlText::Error,
                        {Say(CtlText::CannotOpen, {engine_.link->lastDiscoveryDetail()})})
                 << '\n';
            return kExitFailed;
        default:
            err_ << Say(CtlText::Error, {NoEngineText()}) << '\n';
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
    err_ << Say(CtlText::Error,
                {detail.empty() ? Say(CtlText::Busy) : Say(CtlText::BusyDetail, {detail})})
         << '\n';
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

std::string NoPermissionAdvice() {
#ifdef _WIN32
    return Say(CtlText::NoPermissionAdviceWindows);
#else
    return Say(CtlText::NoPermissionAdvice);
#endif
}

std::string CtlSession::NoEngineText() const {
    const std::string& serial = options_.filter.serial;
    const std::string& at =
        options_.filter.path.empty() ? options_.filter.place : options_.filter.path;
    if (serial.empty()) return at.empty() ? Say(CtlText::NoEngine) : Say(CtlText::NoEngineAt, {at});
    return at.empty() ? Say(CtlText::NoEngineWithSerial, {serial})
                      : Say(CtlText::NoEngineWithSerialAt, {serial, at});
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
