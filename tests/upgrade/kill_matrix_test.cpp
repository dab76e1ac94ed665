// kq7300ctl killed (SIGKILL), stopped (SIGTERM) and hung up on (SIGHUP) at every request of an
// upgrade against the virtual engine, from its application and from its loader: at every block
// boundary and in the middle of every block. The engine's flash outlives the process, so each
// run is audited: no crash, no hang, no replaced byte missing from the backup, no block left
// half-written, and a hung-up run goes to its end.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>

#include "tests/upgrade/ctl_process.h"
#include "tests/upgrade/flash_scenario.h"

namespace kq::test {
namespace {

struct Kind {
    const char* fault;
    int signal;
};
constexpr Kind kKinds[] = {{"kill", SIGKILL}, {"term", SIGTERM}, {"hup", SIGHUP}};

struct Counts {
    int runs = 0;
    int crashes = 0;  // ended otherwise than the signal allows
    int hangs = 0;
    uint64_t replaced = 0;
    uint64_t missing = 0;
    int halfBlocks = 0;
    int hupsUnfinished = 0;
};

// The requests a whole run sends: the trace's frames written.
int CountRequests(const FlashScenario& scenario, const std::string& mode,
                  const std::filesystem::path& trace) {
    std::vector<std::string> args = scenario.Args("mode=" + mode);
    args.insert(args.begin(), "--trace=" + trace.string());
    Ctl ctl(args, CtlStart{.env = scenario.Env()});
    EXPECT_EQ(ctl.WaitAtMost(std::chrono::seconds(60)), 0) << ctl.err;
    std::ifstream in(trace);
    int requests = 0;
    for (std::string line; std::getline(in, line);) requests += line.starts_with("> ");
    return requests;
}

struct KilledRun {
    std::unique_ptr<TempFolder> dir;
    std::unique_ptr<FlashScenario> scenario;
    std::unique_ptr<Ctl> ctl;
    Kind kind;
    int request;
};

TEST(UpgradeKillMatrix, NoCrashNoHangNoReplacedByteMissing) {
    TempFolder base(FastTemporaryFolder());
    Counts counts;
    for (const std::string mode : {"loader", "app"}) {
        const int requests = [&] {
            TempFolder dir(base.path);
            FlashScenario scenario(dir.path);
            return CountRequests(scenario, mode, dir.path / "trace");
        }();
        ASSERT_GT(requests, 20);
        // The runs mostly wait (the restarts, the finish): a few at once.
        constexpr size_t kAtOnce = 8;
        std::deque<KilledRun> running;
        const auto finish = [&](KilledRun& run) {
            const int code = run.ctl->WaitAtMost(std::chrono::seconds(90));
            ++counts.runs;
            const std::string what =
                mode + " " + run.kind.fault + "@" + std::to_string(run.request);
            if (code < 0) {
                ++counts.hangs;
                ADD_FAILURE() << what << " hangs";
                return;
            }
            // SIGKILL ends it; SIGTERM stops it (it exits with 143), or changes nothing once the
            // finish was sent (0); SIGHUP changes nothing.
            const bool signalled = run.ctl->signalled();
            const bool allowed = run.kind.signal == SIGKILL ? signalled && code == 128 + SIGKILL
                                 : run.kind.signal == SIGTERM
                                     ? !signalled && (code == 143 || code == 0)
                                     : !signalled && code == 0;
            if (!allowed) {
                ++counts.crashes;
                ADD_FAILURE() << what << " ended with " << code << ": " << run.ctl->err;
            }
            const FlashScenario::Audit audit = run.scenario->Check();
            counts.replaced += audit.replaced;
            counts.missing += audit.missing;
            counts.halfBlocks += audit.halfBlocks;
            EXPECT_EQ(audit.missing, 0u) << what;
            EXPECT_EQ(audit.halfBlocks, 0u) << what;
            if (run.kind.signal == SIGHUP && !audit.complete) {
                ++counts.hupsUnfinished;
                ADD_FAILURE() << what << " did not finish";
            }
        };
        for (const Kind& kind : kKinds) {
            for (int request = 1; request <= requests; ++request) {
                KilledRun run{std::make_unique<TempFolder>(base.path), nullptr, nullptr, kind,
                              request};
                run.scenario = std::make_unique<FlashScenario>(run.dir->path);
                run.ctl = std::make_unique<Ctl>(
                    run.scenario->Args("mode=" + mode + ",fault=" + kind.fault + "@" +
                                       std::to_string(request)),
                    CtlStart{.env = run.scenario->Env()});
                running.push_back(std::move(run));
                if (running.size() >= kAtOnce) {
                    finish(running.front());
                    running.pop_front();
                }
            }
        }
        for (KilledRun& run : running) finish(run);
    }
    std::printf(
        "kill matrix: %d runs (SIGKILL, SIGTERM, SIGHUP at every request, from the application "
        "and from the loader): %d crashes, %d hangs, %llu bytes replaced, %llu of them missing "
        "from the backup, %d half-written blocks, %d hung-up runs unfinished\n",
        counts.runs, counts.crashes, counts.hangs, static_cast<unsigned long long>(counts.replaced),
        static_cast<unsigned long long>(counts.missing), counts.halfBlocks, counts.hupsUnfinished);
    EXPECT_GT(counts.replaced, 0u);
}

}  // namespace
}  // namespace kq::test
