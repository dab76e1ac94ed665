#include "l10n/settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <utility>

#include "l10n/text.h"

namespace kq {
namespace {

constexpr std::string_view kConfigFileName = "Config.ini";
constexpr std::string_view kLanguageFolder = "Language/";
constexpr std::string_view kLanguageExtension = ".lang";
constexpr std::string_view kThemesSection = "themes";
constexpr std::string_view kSolutionKey = "Solution";
constexpr std::string_view kStringSection = "String";

// Buffer sizes (bytes, terminating zero included) of the reads.
constexpr size_t kStartupLanguageBuffer = 64;
constexpr size_t kLanguageSettingBuffer = 260;
constexpr size_t kConfigSectionBuffer = 260;
constexpr size_t kTranslationBuffer = 300;

std::string ReadExecutablePath() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
    path.resize(static_cast<size_t>(n));
    return path;
}

std::string WithTrailingSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::string LanguageFileIn(const std::string& dir, std::string_view name) {
    return WithTrailingSeparator(dir) + std::string(kLanguageFolder) + std::string(name) +
           std::string(kLanguageExtension);
}

// A language name is a file stem in the Language folder: nothing that leads out of it (a
// separator of either kind, "..") and no control characters.
bool IsPlainName(std::string_view name) {
    return name.find("..") == std::string_view::npos &&
           std::none_of(name.begin(), name.end(), [](char c) {
               const auto u = static_cast<unsigned char>(c);
               return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
           });
}

// Windows primary language ids of the ISO 639-1 codes a locale name may start with.
unsigned PrimaryLanguageOf(std::string_view code) {
    static constexpr std::pair<std::string_view, unsigned> kIds[] = {
        {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},
        {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C},
        {"he", 0x0D}, {"hu", 0x0E}, {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12},
        {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16}, {"ro", 0x18},
        {"ru", 0x19}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"uk", 0x22}, {"vi", 0x2A},
    };
    for (const auto& [iso, id] : kIds) {
        if (text::EqualsNoCase(code, iso)) return id;
    }
    return 0x00;  // neutral: none of the above
}

}  // namespace

ModulePathsRecord::ModulePathsRecord(std::function<std::string()> executablePath)
    : executablePath_(executablePath ? std::move(executablePath) : ReadExecutablePath) {}

const std::string& ModulePathsRecord::fullPath() {
    Compute();
    return fullPath_;
}

const std::string& ModulePathsRecord::moduleDir() {
    Compute();
    return moduleDir_;
}

void ModulePathsRecord::Compute() {
    if (computed_) return;
    fullPath_ = executablePath_();
    const size_t slash = fullPath_.rfind('/');
    moduleDir_ = slash == std::string::npos ? "./" : fullPath_.substr(0, slash + 1);
    computed_ = true;
}

unsigned SystemLocale::SystemDefaultLanguage() const {
    // The variable the C library consults for messages: LC_ALL, then LC_MESSAGES, then LANG.
    std::string_view name;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            name = value;
            break;
        }
    }
    if (name.empty() || name == "C" || name.starts_with("C.") || name == "POSIX") {
        return kLangEnglish;
    }
    return PrimaryLanguageOf(name.substr(0, name.find_first_of("_.@-")));
}

Settings::Settings(std::string programDir, const LocaleSource& locale, std::string userDir)
    : programDir_(WithTrailingSeparator(std::move(programDir))),
      userDir_(userDir.empty() ? std::string() : WithTrailingSeparator(std::move(userDir))),
      locale_(locale) {}

std::string Settings::DefaultUserDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/kq7300/";
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home == '/') return std::string(home) + "/.config/kq7300/";
    return {};
}

std::string Settings::ConfigIn(const std::string& dir) const {
    if (!userDir_.empty()) {
        const std::string own = userDir_ + std::string(kConfigFileName);
        if (access(own.c_str(), F_OK) == 0) return own;
    }
    return WithTrailingSeparator(dir) + std::string(kConfigFileName);
}

std::string Settings::configFile() const {
    return ConfigIn(programDir_);
}

// Where a change goes: the file read so far when it can be written; otherwise (a program
// installed where users may not write) a new copy of it in the user's folder. The copy is the
// user's own file, with the mode the umask gives, not the shipped file's (often read-only).
bool Settings::StoreLanguage(const std::string& name) const {
    const std::string current = configFile();
    const std::string own =
        userDir_.empty() ? std::string() : userDir_ + std::string(kConfigFileName);
    const bool exists = access(current.c_str(), F_OK) == 0;
    std::string target = current;
    bool stored = false;
    if (userDir_.empty() || current == own ||
        access(exists ? current.c_str() : programDir_.c_str(), W_OK) == 0) {
        stored = profile::WriteString(current, kThemesSection, kSolutionKey, name);
    } else {
        target = own;
        std::error_code ignored;  // a missing folder makes the write below fail and say why
        std::filesystem::create_directories(userDir_, ignored);
        stored = profile::CopyWithString(current, own, kThemesSection, kSolutionKey, name);
    }
    if (stored) return true;
    const int error = errno;
    std::cerr << "warning: cannot save the language in " << target << ": " << std::strerror(error)
              << '\n';
    writeFailed_ = true;
    return false;
}

bool Settings::TakeWriteFailureNotice() const {
    if (!writeFailed_ || writeFailureNoticed_) return false;
    writeFailureNoticed_ = true;
    return true;
}

bool Settings::LanguageFilePath(const std::string& moduleDir) {
    const std::string config = ConfigIn(moduleDir);
    std::string name =
        profile::GetString(config, kThemesSection, kSolutionKey, "", kStartupLanguageBuffer);
    // A name that is not plain counts as none: the locale chooses and start-up asks, as on a
    // first run, so that the dialog's OK replaces the bad value. Taking the locale's language
    // without asking would keep that value for good.
    const bool configured = !name.empty() && IsPlainName(name);
    if (!configured) {
        name = (locale_.SystemDefaultLanguage() & 0xFF) == kLangChinese ? "SimpChinese" : "English";
    }
    CurrentLanguageFile = LanguageFileIn(moduleDir, name);
    return configured;
}

bool Settings::SaveLanguageChoice(const std::string& name) {
    CurrentLanguageFile = LanguageFileIn(programDir_, name);
    return StoreLanguage(name);
}

std::string Settings::ReadLanguageSetting() const {
    return profile::GetString(configFile(), kThemesSection, kSolutionKey, "",
                              kLanguageSettingBuffer);
}

bool Settings::WriteLanguageSetting(const std::string& name) const {
    return StoreLanguage(name);
}

std::vector<ConfigPair> Settings::ReadConfigSection(const std::string& section) const {
    std::vector<ConfigPair> pairs;
    for (const std::string& entry :
         profile::GetSection(configFile(), section, kConfigSectionBuffer)) {
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            pairs.push_back({"", entry});
        } else {
            pairs.push_back({entry.substr(0, eq), entry.substr(eq + 1)});
        }
    }
    return pairs;
}

std::string Settings::Translate(std::string_view key) const {
    if (!CurrentLanguageFile.empty()) {
        std::string text = texts_.Lookup(CurrentLanguageFile, key, kTranslationBuffer);
        if (!text.empty()) return text;
    }
    const size_t dot = key.find('.');
    return std::string(dot == std::string_view::npos ? key : key.substr(dot + 1));
}

// Keyed on the file's name alone: the language stays the same for the life of the main window,
// and reading a file again because it changed on disk would mix two versions in one window.
std::string TranslationCache::Lookup(const std::string& file, std::string_view key,
                                     size_t bufferSize) {
    if (bufferSize == 0) return {};
    const std::lock_guard lock(mutex_);
    if (file_ != file) {
        table_ = profile::LoadSection(file, kStringSection);
        file_ = file;
    }
    const std::optional<std::string_view> text = table_.Find(key);
    return text ? std::string(text::CutUtf8(*text, bufferSize - 1)) : std::string();
}

}  // namespace kq
