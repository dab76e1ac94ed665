#pragma once

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "os/os.h"

namespace kq::test {

// The settings layer's names are UTF-8 on every system.
inline std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

inline std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
}

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
#ifdef _WIN32
        // A name of this test's own: created, not only chosen.
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = base / ("kq-l10n-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) path_ = Utf8Of(candidate);
        }
        if (path_.empty()) std::abort();
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "kq-l10n-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
#endif
        path_ += os::kSeparator;
    }
    ~TempDir() {
#ifndef _WIN32
        chmod(path_.c_str(), 0700);
#endif
        std::error_code ignored;
        std::filesystem::remove_all(PathOf(path_), ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder with one trailing separator ('\' on Windows).
    const std::string& path() const {
        return path_;
    }
    std::string file(const std::string& name) const {
        return path_ + name;
    }

  private:
    std::string path_;
};

// The same as a filesystem path, for tests that work in paths rather than the settings layer's
// UTF-8 names: a fresh folder in the system's temporary folder (or in base), removed with all in
// it.
struct TempFolder {
    explicit TempFolder(std::filesystem::path base = {}) {
        std::random_device random;
        std::error_code ec;
        if (base.empty()) base = std::filesystem::temp_directory_path(ec);
        for (int attempt = 0; attempt < 100 && path.empty() && !ec; ++attempt) {
            const auto candidate = base / ("kq-upgrade-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate, ec)) path = candidate;
        }
    }
    ~TempFolder() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path path;
};

// The path of a language file in a program folder, as the settings layer makes it.
inline std::string LanguagePath(const std::string& programDir, const std::string& name) {
    return programDir + "Language" + os::kSeparator + name + ".lang";
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(PathOf(path).parent_path());
    std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline size_t CountFiles(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(PathOf(dir))) {
        ++n;
    }
    return n;
}

}  // namespace kq::test
