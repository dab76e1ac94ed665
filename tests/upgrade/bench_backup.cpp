// What the durable backup adds to each firmware block: one Save (the bytes written and synced,
// then their range recorded and synced), timed on the disk that holds BENCH_DIR (default: the
// system's temporary folder). Compare with a rewritten block's 80 ms of mandated waits.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/support/upgrade_fixture.h"
#include "upgrade/backup.h"

int main() {
    using namespace kq;
    using Clock = std::chrono::steady_clock;
    const char* where = std::getenv("BENCH_DIR");
    test::TempFolder temp;
    const auto dir = (where ? std::filesystem::path(where) : temp.path) / "kq7300-bench-backup";
    const std::vector<uint8_t> image = test::MakeImage(129024, 3);
    for (const uint32_t block : {1024u, 4096u}) {
        std::string error;
        auto backup = FirmwareBackup::Open(dir, {"bench", "", std::to_string(block)},
                                           static_cast<uint32_t>(image.size()), error);
        if (!backup) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const auto start = Clock::now();
        int saves = 0;
        for (uint32_t at = kProtectedFirmwareBytes; at < image.size(); at += block, ++saves) {
            const uint32_t end =
                std::min<uint32_t>(at + block, static_cast<uint32_t>(image.size()));
            if (!backup->Save(at, std::span(image).subspan(at, end - at), error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf(
            "block %5u: %3d saves, %.3f ms per save, %.2f %% of a rewritten block's 80 ms\n", block,
            saves, ms / saves, ms / saves / 80.0 * 100.0);
        backup->EndSeries();
    }
    std::filesystem::remove_all(dir);
    return 0;
}
