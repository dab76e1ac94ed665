#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "os/sha256.h"
#include "tests/support/upgrade_fixture.h"
#include "tests/upgrade/ctl_process.h"
#include "tests/upgrade/flash_scenario.h"

namespace kq::test {
namespace {

namespace fs = std::filesystem;

class UpgradeCommandTest : public ::testing::Test {
  protected:
    // Backups of the engine's previous firmware land here, not in the user's data folder.
    UpgradeCommandTest() {
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }

    std::string Trace() const {
        std::ifstream in(dir / "trace");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string TraceOption() const { return "--trace=" + (dir / "trace").string(); }

    TempFolder temp;
    const fs::path& dir = temp.path;
};

constexpr const char* kFinishFrame = "> 05 00 FD";
constexpr const char* kStartLoaderFrame = "> 05 00 F9";

TEST_F(UpgradeCommandTest, UpgradesAnEngineRunningItsApplication) {
    const std::string firmware = Write("fw.enc", MakeImage(12288, 41));
    const std::string loader = Write("loader.bin", MakeImage(1024, 42));
    Ctl ctl(
        {"--virtual-engine=reboot-ms=0", TraceOption(), "upgrade", firmware, "--loader", loader});
    EXPECT_EQ(ctl.Wait(), 0) << ctl.err;
    EXPECT_NE(ctl.out.find("progress 50%\n"), std::string::npos);
    EXPECT_NE(ctl.out.find("progress 100%\nwaiting for the engine to restart\nchecking the engine: "
                           "try 1 of 5\nfirmware upgraded\n"),
              std::string::npos)
        << ctl.out;
    EXPECT_NE(Trace().find(kStartLoaderFrame), std::string::npos);
    EXPECT_NE(Trace().find(kFinishFrame), std::string::npos);
    const std::string saved = "previous firmware was saved as ";
    const size_t at = ctl.out.find(
        saved + (dir / "data/kq7300/kq7300-backup-0002a0000000-0A1B2C3D4E5F-").string());
    ASSERT_NE(at, std::string::npos) << ctl.out;
    const size_t from = at + saved.size();
    const std::string path = ctl.out.substr(from, ctl.out.find('\n', from) - from);
    EXPECT_EQ(fs::file_size(path), 12288u);
}

TEST_F(UpgradeCommandTest, RefusedFilesAndFailuresExitNonZero) {
    const std::string loader = Write("loader.bin", MakeImage(1024, 43));
    const std::string firmware = Write("fw.bin", MakeImage(20000, 44));
    {
        Ctl ctl({"--virtual-engine=mode=loader", "upgrade", Write("big.bin", MakeImage(129025, 45)),
                 "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 2);
        EXPECT_NE(ctl.err.find("129025 bytes"), std::string::npos) << ctl.err;
    }
    {
        Ctl ctl({"--virtual-engine=mode=loader", "upgrade", firmware, "--loader",
                 (dir / "none.bin").string()});
        EXPECT_EQ(ctl.Wait(), 2);
    }
    {
        Ctl ctl({"--virtual-engine=mode=loader,block-size=0", TraceOption(), "upgrade", firmware,
                 "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 1);
        EXPECT_NE(ctl.err.find("failed"), std::string::npos) << ctl.err;
        EXPECT_EQ(Trace().find(kFinishFrame), std::string::npos);
    }
    {
        Ctl ctl(
            {"--virtual-engine=mode=mute", TraceOption(), "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 1);
        EXPECT_NE(ctl.err.find("failed: the engine does not answer"), std::string::npos) << ctl.err;
        EXPECT_EQ(Trace().find("> 0D 00 FC"), std::string::npos) << "nothing read or written";
    }
    {
        Ctl ctl({"--virtual-engine=vid=1234", "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.Wait(), 3);
    }
}

// Opening a FIFO for reading waits for a writer; the check of the file type must not.
TEST_F(UpgradeCommandTest, FifoImagesAreRefusedWithoutWaiting) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string image = Write("image.bin", MakeImage(1024, 50));
    for (const auto& [firmware, loader] : {std::pair{fifo, image}, std::pair{image, fifo}}) {
        Ctl ctl({"--virtual-engine", "upgrade", firmware, "--loader", loader});
        EXPECT_EQ(ctl.WaitAtMost(std::chrono::seconds(10)), 2) << ctl.err;
        EXPECT_NE(ctl.err.find("cannot read " + fifo), std::string::npos) << ctl.err;
    }
}

TEST_F(UpgradeCommandTest, OutputToAFullDeviceIsAnError) {
    Ctl ctl({"--virtual-engine", "status"}, "/dev/full");
    EXPECT_EQ(ctl.Wait(), 1);
    EXPECT_EQ(ctl.err, "error: cannot write the output: No space left on device\n") << ctl.err;
}

TEST_F(UpgradeCommandTest, InterruptStopsAtTheNextBlockWithoutFinishing) {
    const std::string firmware = Write("fw.bin", MakeImage(65536, 46));
    const std::string loader = Write("loader.bin", MakeImage(1024, 47));
    Ctl ctl({"--virtual-engine=mode=loader,reboot-ms=0", TraceOption(), "upgrade", firmware,
             "--loader", loader});
    ASSERT_TRUE(ctl.ReadUntil("writing the firmware"));
    ASSERT_TRUE(ctl.ReadUntil("progress 20%"));
    kill(ctl.pid(), SIGINT);
    EXPECT_TRUE(ctl.ReadUntil("stopping after the current block", true)) << ctl.err;

    EXPECT_EQ(ctl.Wait(), 1);
    EXPECT_NE(ctl.err.find("upgrade stopped"), std::string::npos) << ctl.err;
    EXPECT_EQ(ctl.out.find("progress 100%"), std::string::npos);
    EXPECT_EQ(ctl.out.find("progress 0%", 1), std::string::npos) << "no return to 0 %: " << ctl.out;
    EXPECT_EQ(Trace().find(kFinishFrame), std::string::npos);
}

// A second Ctrl-C does not wait out the loader's restart, and says where the engine is left.
TEST_F(UpgradeCommandTest, SecondInterruptQuitsAtOnceAndSaysTheEngineIsInItsLoader) {
    Ctl ctl({"--virtual-engine=reboot-ms=60000", "upgrade", Write("fw.bin", MakeImage(20000, 48)),
             "--loader", Write("loader.bin", MakeImage(1024, 49))});
    ASSERT_TRUE(ctl.ReadUntil("waiting for the engine to restart into its loader"));
    kill(ctl.pid(), SIGINT);
    ASSERT_TRUE(ctl.ReadUntil("stopping after the current block", true)) << ctl.err;
    kill(ctl.pid(), SIGINT);
    EXPECT_EQ(ctl.Wait(), 130);
    EXPECT_NE(ctl.err.find("the engine is left in its loader until an upgrade completes"),
              std::string::npos)
        << ctl.err;
}

// In the engine's loader, with FlashScenario's images, the requests are numbered: 1 the product
// id, 2 the mode, 3 the block size, then per block from 9216 a read-back, a write and its check
// (the unchanged third block only a read): 4-6, 7-9, 10, 11-13, 14-16, 17-19; 20 the finish.
constexpr int kSecondBlockWrite = 8;
constexpr int kFinishRequest = 20;

class FlashRunTest : public UpgradeCommandTest {
  protected:
    FlashScenario scenario{dir};

    // The upgrade with these settings and options, without a terminal.
    int Run(const std::string& settings, std::vector<std::string> more = {}) {
        ctl = std::make_unique<Ctl>(scenario.Args(settings, std::move(more)),
                                    CtlStart{.env = scenario.Env()});
        return ctl->WaitAtMost(std::chrono::seconds(60));
    }
    std::unique_ptr<Ctl> ctl;
};

TEST_F(FlashRunTest, SigtermStopsAtTheNextBlockWith143AndNamesTheBackup) {
    EXPECT_EQ(Run("mode=loader,fault=term@" + std::to_string(kSecondBlockWrite)), 143) << ctl->err;
    EXPECT_NE(ctl->err.find("SIGTERM: stopping after the current block"), std::string::npos);
    EXPECT_NE(ctl->err.find("upgrade stopped by SIGTERM: the engine is left in its loader"),
              std::string::npos)
        << ctl->err;
    const auto backup = scenario.Backup();
    ASSERT_TRUE(backup);
    EXPECT_NE(ctl->err.find("previous firmware was saved as " + backup->string() + "\n"),
              std::string::npos)
        << ctl->err;
    EXPECT_NE(ctl->err.find("to put it back, upgrade with that file"), std::string::npos);
    const auto audit = scenario.Check();
    EXPECT_EQ(audit.newBlocks, 2u) << "the block under way was ended";
    EXPECT_EQ(audit.missing, 0u);
    EXPECT_EQ(audit.halfBlocks, 0u);
    EXPECT_NE(scenario.History().find("\"outcome\":\"stopped\",\"reason\":\"stopped by SIGTERM\""),
              std::string::npos)
        << scenario.History();
}

// The second signal ends the process in the middle of a block: what that block replaced is in
// the backup already, and the history has the line prepared for it.
TEST_F(FlashRunTest, ASecondSignalEndsAtOnceAfterNamingTheBackup) {
    const std::string write = std::to_string(kSecondBlockWrite);
    const std::string check = std::to_string(kSecondBlockWrite + 1);
    EXPECT_EQ(Run("mode=loader,fault=term@" + write + "+term@" + check), 143);
    EXPECT_NE(ctl->err.find("interrupted: the engine is left in its loader"), std::string::npos)
        << ctl->err;
    const auto backup = scenario.Backup();
    ASSERT_TRUE(backup);
    EXPECT_NE(ctl->err.find("previous firmware is saved as " + backup->string() + "\n"),
              std::string::npos)
        << ctl->err;
    const auto audit = scenario.Check();
    EXPECT_EQ(audit.newBlocks, 2u);
    EXPECT_EQ(audit.missing, 0u);
    const std::string history = scenario.History();
    EXPECT_NE(history.find("\"outcome\":\"stopped\",\"reason\":\"ended at once"), std::string::npos)
        << history;
    EXPECT_NE(history.find("\"backup\":\"" + backup->string() + "\""), std::string::npos);
}

// SIGHUP (the SSH session drops) and a reader that goes away (| head -1) do not stop the upgrade:
// it goes to its end, the flash whole, and the history tells how it went.
TEST_F(FlashRunTest, SighupAndAClosedOutputDoNotStopTheUpgradeHalfway) {
    EXPECT_EQ(Run("mode=loader,fault=hup@" + std::to_string(kSecondBlockWrite)), 0) << ctl->err;
    auto audit = scenario.Check();
    EXPECT_TRUE(audit.complete);
    EXPECT_EQ(audit.missing, 0u);

    std::filesystem::remove_all(dir / "data");
    std::filesystem::remove(dir / "state" / "kq7300" / "history.jsonl");
    Ctl head(scenario.Args("mode=loader"), CtlStart{.env = scenario.Env()});
    ASSERT_TRUE(head.ReadUntil("progress 0%"));
    head.CloseOutput();
    EXPECT_EQ(head.WaitAtMost(std::chrono::seconds(60)), 1) << "not 141 (SIGPIPE): " << head.err;
    EXPECT_NE(head.err.find("error: cannot write the output"), std::string::npos) << head.err;
    audit = scenario.Check();
    EXPECT_TRUE(audit.complete);
    EXPECT_EQ(audit.missing, 0u);
    EXPECT_NE(scenario.History().find("\"outcome\":\"success\""), std::string::npos);
}

// The question on a terminal: only y or yes goes on; -y asks nothing. Declining writes nothing.
TEST_F(FlashRunTest, AsksOnATerminalAndOnlyYesGoesOn) {
    struct Case {
        std::string typed;  // empty: -y, nothing asked
        int code;
    };
    for (const Case& c : {Case{"y\n", 0}, Case{"n\n", 6}, Case{"\n", 6}, Case{"", 0}}) {
        std::filesystem::remove_all(dir / "data");
        Ctl asked(scenario.Args("mode=loader", c.typed.empty() ? std::vector<std::string>{"-y"}
                                                               : std::vector<std::string>{}),
                  CtlStart{.env = scenario.Env(), .terminal = true});
        if (!c.typed.empty()) {
            ASSERT_TRUE(asked.ReadUntil("[y/N] ")) << asked.out;
            asked.Type(c.typed);
        }
        EXPECT_EQ(asked.WaitAtMost(std::chrono::seconds(60)), c.code) << c.typed << asked.out;
        EXPECT_EQ(asked.out.find("[y/N]") != std::string::npos, !c.typed.empty()) << asked.out;
        const auto audit = scenario.Check();
        EXPECT_EQ(audit.complete, c.code == 0) << c.typed;
        if (c.code == 6) {
            EXPECT_EQ(audit.replaced, 0u);
            EXPECT_NE(asked.out.find("upgrade cancelled: nothing was written"), std::string::npos);
            EXPECT_EQ(asked.out.find("backup"), std::string::npos)
                << "none was made: " << asked.out;
        }
    }
    // What the question names, and the bar it is followed by, which ends without a stale tail.
    Ctl asked(scenario.Args("mode=loader"), CtlStart{.env = scenario.Env(), .terminal = true});
    ASSERT_TRUE(asked.ReadUntil("[y/N] "));
    asked.Type("yes\n");
    EXPECT_EQ(asked.WaitAtMost(std::chrono::seconds(60)), 0);
    for (const std::string& said :
         {std::string("engine:    serial 0002a0000000, product id 0A-1B-2C-3D-4E-5F, at virtual-1"),
          "firmware:  fw.bin, " + std::to_string(FlashScenario::kLength) + " bytes, SHA-256 " +
              os::Sha256Hex(scenario.image),
          std::string("loader:    not needed: the engine runs its loader"),
          std::string("time:      about "),
          std::string("\rwriting the firmware  [########################################] 100%\r\n"
                      "\rwaiting for the engine to restart\r\n")}) {
        EXPECT_NE(asked.out.find(said), std::string::npos) << said << "\n" << asked.out;
    }
}

// Without a terminal on the input nothing is asked (scripts go on as before); a long upgrade is
// said all the same, before anything is written.
TEST_F(UpgradeCommandTest, NoQuestionWithoutATerminalButALongUpgradeIsSaid) {
    Ctl ctl({"--virtual-engine=mode=loader,block-size=1,fault=drop@4", "upgrade",
             Write("fw.bin", MakeImage(20000, 70)), "--loader",
             Write("loader.bin", MakeImage(100, 71))});
    EXPECT_EQ(ctl.WaitAtMost(std::chrono::seconds(30)), 1);
    EXPECT_EQ(ctl.err.find("[y/N]"), std::string::npos) << ctl.err;
    EXPECT_NE(ctl.err.find("note: this upgrade takes about 1"), std::string::npos) << ctl.err;
    EXPECT_NE(ctl.err.find(" min "), std::string::npos) << ctl.err;
}

// One object per line on standard output, and nothing else; a stop does not go back to 0 %.
TEST_F(FlashRunTest, JsonPrintsOneObjectPerLine) {
    for (const bool stopped : {false, true}) {
        std::filesystem::remove_all(dir / "data");
        const std::string fault = stopped ? ",fault=term@" + std::to_string(kSecondBlockWrite) : "";
        EXPECT_EQ(Run("mode=loader" + fault, {"--json"}), stopped ? 143 : 0) << ctl->err;
        std::vector<nlohmann::json> lines;
        std::istringstream out(ctl->out);
        for (std::string line; std::getline(out, line);) {
            lines.push_back(nlohmann::json::parse(line, nullptr, false));
            ASSERT_TRUE(lines.back().is_object()) << line;
        }
        ASSERT_GE(lines.size(), 3u);
        int percent = 0;
        std::vector<uint32_t> addresses;
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            const auto& l = lines[i];
            ASSERT_TRUE(l.contains("phase") && l.contains("percent") && l.contains("address"))
                << l.dump();
            EXPECT_GE(l["percent"].get<int>(), percent) << l.dump();
            percent = l["percent"];
            if (l["address"].is_number()) addresses.push_back(l["address"]);
        }
        const std::vector<uint32_t> all{0,    1024, 2048,  3072,  4096,  5120,  6144, 7168,
                                        8192, 9216, 10240, 11264, 12288, 13312, 14336};
        EXPECT_EQ(addresses, stopped ? std::vector<uint32_t>(all.begin(), all.begin() + 11) : all);
        const auto& last = lines.back();
        const auto backup = scenario.Backup();
        ASSERT_TRUE(backup);
        EXPECT_EQ(last["outcome"], stopped ? "stopped" : "success");
        EXPECT_EQ(last["reason"].is_null(), !stopped);
        EXPECT_EQ(last["backup"], backup->string());
        EXPECT_EQ(last["backupResumed"], false);
        if (!stopped) {
            EXPECT_EQ(ctl->err, "");
        }
    }
}

// Each run appends its line; history prints them, all or one engine's, as text or as stored.
TEST_F(FlashRunTest, HistoryTellsEveryRunAndAResumedBackup) {
    EXPECT_EQ(Run("mode=loader,fault=term@" + std::to_string(kSecondBlockWrite)), 143);
    const auto first = scenario.Backup();
    ASSERT_TRUE(first);
    // The stopped run's engine holds half of the new image: the backup goes on, and says so.
    std::filesystem::copy_file(dir / "flash.bin", dir / "old.bin",
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Run("mode=loader"), 0) << ctl->err;
    EXPECT_NE(ctl->out.find("saved as " + first->string() +
                            "\n(it continues an earlier run's backup: the bytes the engine held "
                            "before the first of these runs)\n"),
              std::string::npos)
        << ctl->out;

    const auto history = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "--virtual-engine");
        Ctl run(args, CtlStart{.env = scenario.Env()});
        EXPECT_EQ(run.WaitAtMost(std::chrono::seconds(30)), 0) << run.err;
        return run.out;
    };
    const std::string text = history({"history"});
    EXPECT_NE(text.find("  stopped  fw.bin  " + std::to_string(FlashScenario::kLength) + " bytes"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  reason: stopped by SIGTERM\n  backup: " + first->string() + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  success  fw.bin"), std::string::npos);
    EXPECT_NE(text.find("  backup: " + first->string() + " (it continues an earlier run's backup)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  engine: serial 0002a0000000, product id 0A-1B-2C-3D-4E-5F, at "
                        "virtual-1\n"),
              std::string::npos);

    const std::string json = history({"history", "--json"});
    EXPECT_EQ(json, scenario.History());
    EXPECT_EQ(history({"--path", "virtual-1", "history", "--json"}), json);
    EXPECT_EQ(history({"--serial", "other", "history"}).find("no upgrade recorded in "), 0u);
}

// The final check's outcomes and a backup that cannot be made: each its own message and exit
// code. They wait out the searches, so they run at once.
TEST_F(UpgradeCommandTest, EveryEndHasItsOwnExitCode) {
    const std::string firmware = Write("fw.bin", MakeImage(10240, 80));
    const std::string loader = Write("loader.bin", MakeImage(1024, 81));
    Write("file", {1});
    struct Case {
        std::vector<std::string> engines;
        std::string data;  // XDG_DATA_HOME
        int code;
        std::string says;
    };
    // From the loader: 1 product id, 2 mode, 3 block size, 4-6 the one block, 7 the finish.
    const std::vector<Case> cases{
        {{"--virtual-engine=mode=loader,reboot-ms=0,fault=drop@7"},
         "",
         7,
         "the engine stayed in its loader\nthe firmware was written, but the engine did not"},
        {{"--virtual-engine=mode=loader,reboot-ms=0,fault=odd-mode@8+odd-mode@9+odd-mode@10+"
          "odd-mode@11+odd-mode@12"},
         "",
         8,
         "the engine gave an unexpected answer after the upgrade\n"},
        {{"--virtual-engine=mode=loader,reboot-ms=0,fault=no-return-after-finish"},
         "",
         9,
         "the engine did not come back after the upgrade\nunplug the engine"},
        {{"--virtual-engine=mode=loader"},
         (dir / "file").string(),
         11,
         "the engine's firmware cannot be backed up: "},
    };
    std::vector<std::unique_ptr<Ctl>> runs;
    for (const Case& c : cases) {
        std::vector<std::string> args = c.engines;
        args.insert(args.end(), {"upgrade", firmware, "--loader", loader});
        runs.push_back(std::make_unique<Ctl>(
            args, CtlStart{.env = {"XDG_DATA_HOME=" +
                                   (c.data.empty() ? (dir / "data").string() : c.data)}}));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(runs[i]->WaitAtMost(std::chrono::seconds(60)), cases[i].code) << runs[i]->err;
        EXPECT_NE(runs[i]->err.find(cases[i].says), std::string::npos) << runs[i]->err;
    }
    EXPECT_NE(runs.back()->err.find("nothing was written"), std::string::npos);
}

}  // namespace
}  // namespace kq::test
