// Whole upgrades against the virtual engine with real waits. Prints how close the wall time comes
// to the waits the protocol mandates, and how little CPU the upgrade burns while waiting.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>

#include "emulator/virtual_bus.h"
#include "tests/support/upgrade_fixture.h"
#include "upgrade/upgrade.h"

namespace kq {
namespace {

using Clock = std::chrono::steady_clock;

// Really sleeps, and adds up what was asked for: the sum of the mandated waits.
class TallySleeper final : public Sleeper {
  public:
    void SleepFor(std::chrono::microseconds duration) override {
        asked_ += duration.count();
        real_.SleepFor(duration);
    }
    double askedMs() const { return static_cast<double>(asked_.load()) / 1000.0; }
    void Reset() { asked_ = 0; }

  private:
    RealSleeper real_;
    std::atomic<long long> asked_{0};
};

#ifdef _WIN32
double CpuSeconds() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        const auto ticks =
            (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;  // 100 ns ticks
    };
    return seconds(kernel) + seconds(user);
}
#else
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
#endif

bool Measure(const char* name, DeviceLink& link, TallySleeper& sleeper, VirtualEngine& engine,
             const std::vector<uint8_t>& firmware, const std::vector<uint8_t>& loader,
             const std::optional<std::filesystem::path>& backupDir) {
    std::atomic<bool> stop{false};
    UpgradeJob job{.link = link,
                   .sleeper = sleeper,
                   .firmware = firmware,
                   .loader = loader,
                   .m_bStopRequested = stop,
                   .callbacks = {},
                   .backupDir = backupDir,
                   .productId = "0A-1B-2C-3D-4E-5F"};
    const size_t writesBefore = engine.blockWrites().size();
    const size_t framesBefore = engine.frames().size();
    sleeper.Reset();
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    const UpgradeResult result = UpgradeThreadProc(job);
    const UpgradeOutcome outcome = result.outcome;
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wall0).count();
    const double cpuMs = (CpuSeconds() - cpu0) * 1000;

    const size_t writes = engine.blockWrites().size() - writesBefore;
    size_t reads = 0;
    const auto frames = engine.frames();
    for (size_t i = framesBefore; i < frames.size(); ++i) {
        if (frames[i][2] == static_cast<uint8_t>(CommandCode::BlockRead)) ++reads;
    }
    reads -= writes;  // each verified write reads its block back without the 20 ms pause
    // Every wait the procedure asked for: the link's pauses, the loader search's, the finish
    // wait and the final check's (none when the engine is back at its first look).
    const double floorMs = sleeper.askedMs();
    const double pauses = 60.0 * static_cast<double>(writes) + 20.0 * static_cast<double>(reads);
    const double searches = (floorMs - pauses - kFinishWaitMs) / kLoaderSearchWaitMs;
    std::printf("%s: %s\n", name,
                outcome == UpgradeOutcome::Success ? "success, seen back in its application"
                                                   : UpgradeFailureText(result.failure));
    std::printf("  %zu verified writes, %zu block reads, %.0f search waits after the restarts\n",
                writes, reads, searches);
    std::printf(
        "  backup: %s (%s)\n",
        result.backupPath.empty() ? "none, nothing replaced" : result.backupPath.string().c_str(),
        result.backupError.empty() ? "no error" : result.backupError.c_str());
    std::printf("  wall %.1f ms, protocol floor %.1f ms, wall / floor = %.4f (target <= 1.005)\n",
                wallMs, floorMs, wallMs / floorMs);
    std::printf("  cpu %.1f ms, cpu / wall = %.4f (target <= 0.02)\n", cpuMs, cpuMs / wallMs);
    return outcome == UpgradeOutcome::Success && wallMs / floorMs <= 1.005 &&
           cpuMs / wallMs <= 0.02;
}

int Main() {
    TallySleeper sleeper;
    VirtualBus bus(&sleeper);
    EngineSettings settings;
    settings.blockSize = 1024;
    settings.rebootMs = 20;
    auto engine = bus.Plug(settings);
    DeviceLink link(bus, &sleeper);
    if (!link.FindDevice()) {
        std::puts("no virtual engine");
        return 1;
    }
    // A backup folder on the disk the temporary folder is on, as a user's data folder would be.
    test::TempFolder backups;
    const auto loader = test::MakeImage(10240, 1);
    const auto firmware = test::MakeImage(129024, 2);
    bool ok =
        Measure("every block different", link, sleeper, *engine, firmware, loader, backups.path);
    ok = Measure("identical image", link, sleeper, *engine, firmware, loader, backups.path) && ok;
    // The same run as the first without a backup: what the backup's saves cost.
    engine->setFlash({});
    ok = Measure("every block different, no backup", link, sleeper, *engine, firmware, loader,
                 std::nullopt) &&
         ok;
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace kq

int main() {
    return kq::Main();
}
