#include "l10n/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <utility>

#include "l10n/text.h"
#include "os/os.h"

namespace kq {
namespace {

constexpr std::string_view kConfigFileName = "Config.ini";
constexpr std::string_view kLanguageFolder = "Language";
constexpr std::string_view kLanguageExtension = ".lang";
constexpr std::string_view kThemesSection = "themes";
constexpr std::string_view kSolutionKey = "Solution";
constexpr std::string_view kStringSection = "String";

// Buffer sizes (bytes, terminating zero included) of the reads.
constexpr size_t kStartupLanguageBuffer = 64;
constexpr size_t kLanguageSettingBuffer = 260;
constexpr size_t kConfigSectionBuffer = 260;
constexpr size_t kTranslationBuffer = 300;

std::string WithTrailingSeparator(std::string dir) {
    if (dir.empty() || !os::IsSeparator(dir.back())) dir += os::kSeparator;
    return dir;
}

std::string LanguageFileIn(const std::string& dir, std::string_view name) {
    return WithTrailingSeparator(dir) + std::string(kLanguageFolder) + os::kSeparator +
           std::string(name) + std::string(kLanguageExtension);
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

}  // namespace

ModulePathsRecord::ModulePathsRecord(std::function<std::string()> executablePath)
    : executablePath_(executablePath ? std::move(executablePath) : os::ExecutablePath) {}

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
    const size_t slash = fullPath_.find_last_of(os::kSeparators);
    moduleDir_ = slash == std::string::npos ? std::string(".") + os::kSeparator
                                            : fullPath_.substr(0, slash + 1);
    computed_ = true;
}

unsigned SystemLocale::SystemDefaultLanguage() const {
    return os::SystemDefaultLanguage();
}

SystemConfig SystemConfig::OfThisBuild() {
#ifdef KQ_SYSTEM_CONFIG
    return {KQ_SYSTEM_CONFIG, KQ_SYSTEM_PROGRAM_DIR};
#else
    return {};
#endif
}

Settings::Settings(std::string programDir, const LocaleSource& locale, std::string userDir,
                   SystemConfig system)
    : programDir_(WithTrailingSeparator(std::move(programDir))),
      userDir_(userDir.empty() ? std::string() : WithTrailingSeparator(std::move(userDir))),
      system_(std::move(system)),
      locale_(locale) {}

// Decided by the file's place, not by what this user may write: root may write everywhere, and
// a change it made to the shipped file would become every user's default behind dpkg's back.
bool Settings::IsSystemFile(const std::string& file) const {
    if (system_.file.empty()) return false;
    const auto resolved = [](const std::string& name) {
        std::error_code ec;
        const std::filesystem::path path = os::PathFromUtf8(name);
        std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
        return ec ? path.lexically_normal() : real;
    };
    const auto same = [&](const std::string& a, const std::string& b) {
        return resolved(a) == resolved(b);
    };
    if (!system_.programDir.empty() &&
        same(file, WithTrailingSeparator(system_.programDir) + std::string(kConfigFileName))) {
        return true;
    }
    // A chain of links that never ends leads nowhere a write could go either.
    const std::string end = os::LinkTarget(file);
    return end.empty() || same(end, system_.file);
}

std::string Settings::DefaultUserDir() {
    return os::UserConfigDir();
}

std::string Settings::ConfigIn(const std::string& dir) const {
    if (!userDir_.empty()) {
        const std::string own = userDir_ + std::string(kConfigFileName);
        if (os::Exists(own)) return own;
    }
    return WithTrailingSeparator(dir) + std::string(kConfigFileName);
}

std::string Settings::configFile() const {
    return ConfigIn(programDir_);
}

// Where a change goes: the file read so far when it is not the system's and can be written;
// otherwise (the package's settings, or a program installed where users may not write) a new
// copy of it in the user's folder. The copy is the user's own file, with the mode the umask
// gives, not the shipped file's (often read-only).
bool Settings::StoreLanguage(const std::string& name) const {
    const std::string current = configFile();
    const std::string own =
        userDir_.empty() ? std::string() : userDir_ + std::string(kConfigFileName);
    const bool exists = os::Exists(current);
    const bool system = IsSystemFile(current);
    std::string target = current;
    bool stored = false;
    if (system && (own.empty() || current == own)) {
        std::cerr << "warning: cannot save the language: " << current
                  << " is the system's settings file, which only an administrator edits, and "
                     "this user has no copy of their own"
                  << (own.empty() ? " (set HOME or XDG_CONFIG_HOME)" : "") << '\n';
        writeFailed_ = true;
        return false;
    }
    if (!system &&
        (userDir_.empty() || current == own || os::MayWrite(exists ? current : programDir_))) {
        stored = profile::WriteString(current, kThemesSection, kSolutionKey, name);
    } else {
        target = own;
        os::CreateFolders(userDir_);  // a missing folder makes the write below fail and say why
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
    const size_t dot = key.find('.');
    return Translate(key, dot == std::string_view::npos ? key : key.substr(dot + 1));
}

std::string Settings::Translate(std::string_view key, std::string_view fallback) const {
    if (!CurrentLanguageFile.empty()) {
        std::string text = texts_.Lookup(CurrentLanguageFile, key, kTranslationBuffer);
        if (!text.empty()) return text;
    }
    return std::string(fallback);
}

std::jthread Settings::ReadTextsAhead() const {
    if (CurrentLanguageFile.empty()) return {};
    return std::jthread([&texts = texts_, file = CurrentLanguageFile] { texts.Read(file); });
}

void Settings::UseLanguage(std::string_view name) {
    CurrentLanguageFile = IsPlainName(name) ? LanguageFileIn(programDir_, name) : std::string();
}

// Keyed on the file's name alone: the language stays the same for the life of the main window,
// and reading a file again because it changed on disk would mix two versions in one window.
std::string TranslationCache::Lookup(const std::string& file, std::string_view key,
                                     size_t bufferSize) {
    if (bufferSize == 0) return {};
    const std::lock_guard lock(mutex_);
    ReadLocked(file);
    const std::optional<std::string_view> text = table_.Find(key);
    return text ? std::string(text::CutUtf8(*text, bufferSize - 1)) : std::string();
}

void TranslationCache::Read(const std::string& file) {
    const std::lock_guard lock(mutex_);
    ReadLocked(file);
}

void TranslationCache::ReadLocked(const std::string& file) {
    if (file_ == file) return;
    table_ = profile::LoadSection(file, kStringSection);
    file_ = file;
}

}  // namespace kq
