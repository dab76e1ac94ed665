#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/upgrade_fixture.h"

namespace kq::test {

// An upgrade by kq7300ctl of a virtual engine whose flash outlives the process (flash=,
// flash-out=): the firmware the engine starts with, the new image (one block of it the same as
// the old), and what the flash and the backup held when the process ended, however it ended.
struct FlashScenario {
    static constexpr uint32_t kBlockSize = 1024;
    static constexpr uint32_t kBlocks = 6;  // after the protected area
    static constexpr uint32_t kLength = kProtectedFirmwareBytes + kBlocks * kBlockSize;
    static constexpr uint32_t kUnchangedBlock = 2;

    explicit FlashScenario(std::filesystem::path folder) : dir(std::move(folder)) {
        oldFlash = MakeImage(kLength, 61);
        image = MakeImage(kLength, 62);
        const uint32_t same = kProtectedFirmwareBytes + kUnchangedBlock * kBlockSize;
        std::copy_n(oldFlash.begin() + same, kBlockSize, image.begin() + same);
        Write(dir / "old.bin", oldFlash);
        Write(dir / "fw.bin", image);
        Write(dir / "loader.bin", MakeImage(2 * kBlockSize, 63));
    }

    static void Write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    // kq7300ctl's arguments: the engine with these settings (mode, faults) added, then upgrade.
    std::vector<std::string> Args(const std::string& settings,
                                  std::vector<std::string> more = {}) const {
        std::vector<std::string> args{
            "--virtual-engine=reboot-ms=0,flash=" + (dir / "old.bin").string() + ",flash-out=" +
                (dir / "flash.bin").string() + (settings.empty() ? "" : "," + settings),
            "upgrade", (dir / "fw.bin").string(), "--loader", (dir / "loader.bin").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    // The backup and the history go to the scenario's folder.
    std::vector<std::string> Env() const {
        return {"XDG_DATA_HOME=" + (dir / "data").string(),
                "XDG_STATE_HOME=" + (dir / "state").string()};
    }

    std::optional<std::filesystem::path> Backup() const {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "data" / "kq7300", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("kq7300-backup-") && name.ends_with(".bin")) return entry.path();
        }
        return std::nullopt;
    }

    std::string History() const {
        std::ifstream in(dir / "state" / "kq7300" / "history.jsonl");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    struct Audit {
        uint32_t replaced = 0;    // bytes of the flash that no longer hold the old firmware
        uint32_t missing = 0;     // of those, bytes the backup does not hold as they were
        uint32_t halfBlocks = 0;  // blocks neither all old nor all new
        uint32_t newBlocks = 0;   // blocks that hold the new image where it differs from the old
        bool complete = false;    // the flash holds the new image
    };

    // What the flash and the backup hold now.
    Audit Check() const {
        Audit a;
        const std::vector<uint8_t> flash = ReadFile(dir / "flash.bin");
        const std::optional<std::filesystem::path> file = Backup();
        const std::vector<uint8_t> backup = file ? ReadFile(*file) : std::vector<uint8_t>();
        if (flash.size() < kLength) {
            a.missing = kLength;
            return a;
        }
        a.complete = true;
        for (uint32_t block = 0; block < kBlocks; ++block) {
            bool anyOld = false;
            bool anyNew = false;
            for (uint32_t i = 0; i < kBlockSize; ++i) {
                const uint32_t at = kProtectedFirmwareBytes + block * kBlockSize + i;
                anyOld |= flash[at] == oldFlash[at] && flash[at] != image[at];
                anyNew |= flash[at] == image[at] && flash[at] != oldFlash[at];
                if (flash[at] != image[at]) a.complete = false;
                if (flash[at] == oldFlash[at]) continue;
                ++a.replaced;
                if (at >= backup.size() || backup[at] != oldFlash[at]) ++a.missing;
            }
            if (anyOld && anyNew) ++a.halfBlocks;
            if (anyNew && !anyOld) ++a.newBlocks;
        }
        return a;
    }

    std::filesystem::path dir;
    std::vector<uint8_t> oldFlash;
    std::vector<uint8_t> image;
};

}  // namespace kq::test
