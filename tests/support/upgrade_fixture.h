#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "devlink/link.h"
#include "emulator/virtual_bus.h"
#include "tests/support/temp_dir.h"
#include "upgrade/upgrade.h"

namespace kq::test {

// Bytes that differ from block to block and from the engine's blank memories.
inline std::vector<uint8_t> MakeImage(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> image(size);
    for (auto& byte : image) byte = static_cast<uint8_t>(random());
    return image;
}

// Memory-backed where the system has it (/dev/shm), else the temporary folder: for suites that
// write thousands of backups.
inline std::filesystem::path FastTemporaryFolder() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
    return std::filesystem::temp_directory_path(ec);
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every wait costs nothing but is added up; onSleep sees each wait's number, from 1, as it
// begins, so a test can act in the middle of a block or of the finish wait.
struct RigSleeper final : Sleeper {
    void SleepFor(std::chrono::microseconds duration) override {
        total_ += duration.count();
        const int n = ++calls;
        if (onSleep) onSleep(n);
    }
    std::chrono::microseconds total() const { return std::chrono::microseconds(total_.load()); }

    std::atomic<long long> total_{0};
    std::atomic<int> calls{0};
    std::function<void(int)> onSleep;
};

// The engine to upgrade on an in-process bus, and another beside it where a test plugs one.
struct UpgradeRig {
    // byPath: the link is narrowed to the engine's path, as kq7300ctl --path does.
    void Attach(EngineSettings settings = {}, bool byPath = false) {
        settings.rebootMs = 0;
        engine = bus.Plug(std::move(settings));
        link = std::make_unique<DeviceLink>(bus, &sleeper);
        if (byPath) link->setFilter({.serial = "", .path = PathOf(engine)});
        ASSERT_TRUE(link->FindDevice());
        ASSERT_EQ(link->devicePath(), PathOf(engine));
        link->DevicePresent = 1;
    }
    void PlugOther(EngineSettings settings) {
        settings.rebootMs = 0;
        other = bus.Plug(std::move(settings));
    }

    std::string PathOf(const std::shared_ptr<VirtualEngine>& e) {
        std::string path;
        bus.Configure(e, [&](VirtualBus::Slot& slot) {
            const auto& s = slot.engine->settings();
            path = MakeInterfacePath(s.vid, s.pid, slot.instance, EngineInterfaceClass);
        });
        return path;
    }

    UpgradeOutcome Upgrade(const std::vector<uint8_t>& firmware,
                           const std::vector<uint8_t>& loader) {
        positions.clear();
        controls.clear();
        phases.clear();
        attempts.clear();
        upgrading = true;
        sleeper.calls = 0;
        UpgradeJob job{
            .link = *link,
            .sleeper = sleeper,
            .firmware = firmware,
            .loader = loader,
            .m_bStopRequested = stop,
            .m_bUpgrading = &upgrading,
            .callbacks = {.progress =
                              [this](int p) {
                                  positions.push_back(p);
                                  if (onProgress) onProgress(p);
                              },
                          .controls = [this](UpgradeControls c) { controls.push_back(c); },
                          .phase =
                              [this](UpgradePhase p) {
                                  phases.push_back(p);
                                  if (onPhase) onPhase(p);
                              },
                          .attempt =
                              [this](UpgradePhase p, int n, int of) {
                                  attempts.push_back({p, n, of});
                                  if (onAttempt) onAttempt(p, n);
                              },
                          .block = onBlock,
                          .backup = onBackup},
            .backupDir = backupDir,
            .productId = "0A-1B-2C-3D-4E-5F",
            .confirm = confirm};
        result = UpgradeThreadProc(job);
        return result.outcome;
    }

    // Request frames the engine received with this command code, as (address, length) for the
    // block commands.
    std::vector<std::pair<uint32_t, uint32_t>> Requests(CommandCode code) const {
        std::vector<std::pair<uint32_t, uint32_t>> found;
        for (const auto& frame : engine->frames()) {
            if (frame.size() < 5 || frame[2] != static_cast<uint8_t>(code)) continue;
            uint32_t address = 0;
            uint32_t length = 0;
            if (frame.size() >= 13) {
                for (int i = 3; i >= 0; --i) {
                    address = address << 8 | frame[3 + i];
                    length = length << 8 | frame[7 + i];
                }
            }
            found.emplace_back(address, length);
        }
        return found;
    }

    // The engine's flash from 9216 on holds the image.
    bool FlashHolds(const std::vector<uint8_t>& firmware) const {
        const auto flash = engine->flash();
        return std::equal(firmware.begin() + kProtectedFirmwareBytes, firmware.end(),
                          flash.begin() + kProtectedFirmwareBytes);
    }

    RigSleeper sleeper;
    VirtualBus bus{&sleeper};
    std::shared_ptr<VirtualEngine> engine;
    std::shared_ptr<VirtualEngine> other;
    std::unique_ptr<DeviceLink> link;
    std::atomic<bool> stop{false};
    std::atomic<bool> upgrading{false};
    std::function<void(int)> onProgress;
    std::function<void(UpgradePhase)> onPhase;
    std::function<void(UpgradePhase, int attempt)> onAttempt;
    std::function<bool(const UpgradePlan&)> confirm;
    std::function<void(UpgradePhase, uint32_t offset, uint32_t length)> onBlock;
    std::function<void(const std::filesystem::path&, bool resumed)> onBackup;
    struct Attempt {
        UpgradePhase phase;
        int attempt;
        int attempts;
        friend bool operator==(const Attempt&, const Attempt&) = default;
    };
    std::vector<Attempt> attempts;
    std::vector<int> positions;
    std::vector<UpgradeControls> controls;
    std::vector<UpgradePhase> phases;
    UpgradeResult result;
    std::optional<std::filesystem::path> backupDir;  // none: no backup
};

class UpgradeFixture : public ::testing::Test, public UpgradeRig {};

}  // namespace kq::test
