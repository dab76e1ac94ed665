#pragma once

// What the windows' UI-stall benchmarks share, whatever their toolkit: the engines they run
// against, the world around the window, the actions they measure and the table they print.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devlink/link.h"
#include "dialogs/context.h"
#include "emulator/virtual_bus.h"
#include "l10n/settings.h"
#include "res/resource.h"

namespace kq::test {

struct BenchScenario {
    const char* name;
    const char* engine;     // virtual engine settings
    bool unplugMidCommand;  // the engine is pulled 100 ms into each action
};

inline constexpr BenchScenario kBenchScenarios[] = {{"working", "", false},
                                                    {"mute", "mode=mute", false},
                                                    {"unplugged mid-command", "mode=mute", true}};

// Per action the longest block in milliseconds (per row of kBenchRows), and "messages shown".
using BenchFigures = std::map<std::string, double>;

inline constexpr const char* kBenchRows[] = {"start to first paint",
                                             "start (longest block)",
                                             "tab switch",
                                             "LED Read",
                                             "LED Write",
                                             "LED switch",
                                             "Power",
                                             "Flip Apply",
                                             "arrival"};

// One column per scenario, in the order of kBenchScenarios.
inline void PrintBenchFigures(std::vector<BenchFigures> results) {
    std::printf("longest UI-thread block per action, ms (start: time to first paint)\n");
    std::printf("%-24s", "action");
    for (const BenchScenario& s : kBenchScenarios) std::printf("%24s", s.name);
    std::printf("\n");
    // The common rows, then those a bench adds of its own.
    std::vector<std::string> rows(std::begin(kBenchRows), std::end(kBenchRows));
    for (const BenchFigures& r : results) {
        for (const auto& [row, value] : r) {
            if (row != "messages shown" && std::find(rows.begin(), rows.end(), row) == rows.end())
                rows.push_back(row);
        }
    }
    for (const std::string& row : rows) {
        std::printf("%-24s", row.c_str());
        for (BenchFigures& r : results) std::printf("%24.1f", r[row]);
        std::printf("\n");
    }
    std::printf("%-24s", "messages shown");
    for (BenchFigures& r : results) std::printf("%24.0f", r["messages shown"]);
    std::printf("\n");
}

// The window's world in a bench: one engine of the scenario's on a bus with real waits (a
// silent engine costs its real timeouts), the link, English texts, a restart that starts
// nothing.
class BenchWorld {
  protected:
    BenchWorld(const BenchScenario& scenario, const std::string& programDir,
               const std::string& languageFile)
        : scenario_(scenario), settings_(programDir, locale_), context_{link_,  settings_,
                                                                        flags_, processes_,
                                                                        "",     {}} {
        settings_.CurrentLanguageFile = languageFile;
        std::string error;
        engine_ = bus_.Plug(*ParseEngineSettings(scenario.engine, &error));
    }

    // The actions of kBenchRows from "tab switch" on, into figures, through the toolkit's
    // driver: ResetMeter(), WorstMs(), Settle() (until the window's device work is done),
    // SelectTab(index), Click(control id), SetCurrentText(text) (the LED page's box).
    template <class Driver>
    void RunActions(Driver& d, BenchFigures& figures) {
        auto measure = [&](const std::string& name, const std::function<void()>& action) {
            d.ResetMeter();
            std::thread puller;
            if (scenario_.unplugMidCommand) {
                puller = std::thread([this] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    bus_.Unplug(engine_);
                });
            }
            action();
            d.Settle();
            if (puller.joinable()) puller.join();
            d.Settle();
            figures[name] = std::max(figures[name], d.WorstMs());
            if (scenario_.unplugMidCommand && !bus_.IsPresent(engine_)) {
                bus_.Replug(engine_);
                d.Settle();
            }
        };
        auto click = [&](int id) { return [&d, id] { d.Click(id); }; };
        measure("tab switch", [&] { d.SelectTab(1); });
        measure("tab switch", [&] { d.SelectTab(2); });
        measure("tab switch", [&] { d.SelectTab(0); });
        measure("LED Read", click(IDC_CURRENT_READ));
        d.SetCurrentText("60");
        measure("LED Write", click(IDC_CURRENT_WRITE));
        measure("LED switch", click(IDC_LED_SWITCH));
        measure("LED switch", click(IDC_LED_SWITCH));
        measure("Power", click(IDC_POWER_SWITCH));
        measure("Power", click(IDC_POWER_SWITCH));
        d.SelectTab(1);
        d.Settle();
        measure("Flip Apply", click(IDC_FLIP_DO));
        d.SelectTab(0);
        d.Settle();
        bus_.Unplug(engine_);
        d.Settle();
        if (scenario_.unplugMidCommand) {
            // The arrival itself is what is measured here, not a pull during it.
            d.ResetMeter();
            bus_.Replug(engine_);
            d.Settle();
            figures["arrival"] = d.WorstMs();
        } else {
            measure("arrival", [&] { bus_.Replug(engine_); });
        }
    }

    struct EnglishLocale final : LocaleSource {
        unsigned SystemDefaultLanguage() const override { return kLangEnglish; }
    };
    struct NoProcesses final : ProcessStarter {
        bool StartDetached(const std::string&, const std::vector<std::string>&) override {
            return false;
        }
        void ExitNow(int) override {}
    };

    BenchScenario scenario_;
    VirtualBus bus_;
    DeviceLink link_{bus_};
    std::shared_ptr<VirtualEngine> engine_;
    EnglishLocale locale_;
    Settings settings_;
    PageFlags flags_;
    NoProcesses processes_;
    PageContext context_;
};

}  // namespace kq::test
