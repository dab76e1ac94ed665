// Feeds every file of the directories (or the files) named on the command line to the target's
// LLVMFuzzerTestOneInput: the ordinary build's stand-in for libFuzzer, so that the seeds and
// every input that once found a fault run in each build as a test.
//
// Exit 0 when every input ran, 1 when nothing was found (a corpus that went missing must not
// pass as an empty one); an input that breaks an invariant aborts the run.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const fs::path& where) {
    std::vector<fs::path> files;
    if (fs::is_directory(where)) {
        for (const auto& entry : fs::directory_iterator(where)) {
            // Dot files (e.g. a .gitkeep) are not inputs.
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(where)) {
        files.push_back(where);
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : Inputs(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            if (!in.good() && !in.eof()) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 1;
            }
            std::printf("%s (%zu bytes)\n", file.string().c_str(), bytes.size());
            std::fflush(stdout);  // so the last name printed is the input that aborted
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++count;
        }
    }
    std::printf("%zu inputs replayed\n", count);
    return count == 0 ? 1 : 0;
}
