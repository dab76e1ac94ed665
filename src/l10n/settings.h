#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kq {

// The executable's full path and its folder with exactly one trailing separator; computed on
// the first call, the same strings afterwards.
class ModulePathsRecord {
  public:
    // The source of the executable's path (default: the system's, /proc/self/exe or
    // GetModuleFileNameW); injectable for tests.
    explicit ModulePathsRecord(std::function<std::string()> executablePath = {});
    const std::string& fullPath();
    const std::string& moduleDir();

  private:
    void Compute();

    std::function<std::string()> executablePath_;
    std::string fullPath_;
    std::string moduleDir_;
    bool computed_ = false;
};

// The system's language: the primary language id in the low 8 bits as the system reports it
// (0x04 Chinese, 0x09 English, others as they come).
class LocaleSource {
  public:
    virtual ~LocaleSource() = default;
    virtual unsigned SystemDefaultLanguage() const = 0;
};

// Windows' default locale (GetSystemDefaultLCID); elsewhere LC_ALL / LC_MESSAGES / LANG, as the
// C library sees them.
class SystemLocale final : public LocaleSource {
  public:
    unsigned SystemDefaultLanguage() const override;
};

inline constexpr unsigned kLangChinese = 0x04;
inline constexpr unsigned kLangEnglish = 0x09;

struct ConfigPair {
    std::string key;
    std::string value;
};

// Profile (INI) file calls with the semantics the program relies on. Sizes are buffer sizes in
// bytes including the terminating zero; results are cut to size - 1 bytes on a character
// boundary. A file larger than kMaxFileSize is refused unread (with a line on stderr), as if it
// could not be read: reads give their defaults, writes fail.
namespace profile {
inline constexpr size_t kMaxFileSize = size_t{1} << 20;

std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t bufferSize);
// Entries "key=value" of a section in file order, cut to bufferSize as one block would be.
std::vector<std::string> GetSection(const std::string& file, std::string_view section,
                                    size_t bufferSize);
// Creates file, section or key as needed, replaces a value in place, keeps every other byte.
// On failure errno tells why.
bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                 std::string_view value);
// Creates `copy` (a new file, with the mode the umask gives) holding the bytes of `source`, or
// nothing when it is missing, with the value set as WriteString sets it.
bool CopyWithString(const std::string& source, const std::string& copy, std::string_view section,
                    std::string_view key, std::string_view value);

// The same rules on a file's bytes, with no file involved.
// The whole value of the first such key in the first such section; nullopt when there is none.
std::optional<std::string> FindValue(std::string_view bytes, std::string_view section,
                                     std::string_view key);
std::vector<std::string> SectionEntries(std::string_view bytes, std::string_view section,
                                        size_t bufferSize);
// The file's new bytes; nullopt when section, key or value cannot stand on one line of a file.
std::optional<std::string> WithString(std::string_view bytes, std::string_view section,
                                      std::string_view key, std::string_view value);

// Every entry of one section, read in one pass and looked up as GetString finds them (names
// without regard to ASCII case, the first entry of a name wins). Takes little more memory than
// the section's text.
class SectionTable {
  public:
    static SectionTable Parse(std::string_view bytes, std::string_view section);
    // The value, uncut; nullopt when the section has no entry of that name.
    std::optional<std::string_view> Find(std::string_view key) const;
    size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        uint32_t key, keyLength, value, valueLength;  // into text_
    };
    std::string_view KeyOf(const Entry& e) const;

    std::string text_;
    std::vector<Entry> entries_;  // sorted by name
};

// The section of a file; empty when the file is missing or cannot be read.
SectionTable LoadSection(const std::string& file, std::string_view section);
}  // namespace profile

// The current language file's texts, read once for each file that becomes current rather than
// once for each text. The upgrade worker translates too, hence the lock.
class TranslationCache {
  public:
    TranslationCache() = default;
    // A copy starts empty and reads for itself.
    TranslationCache(const TranslationCache&) {}
    TranslationCache& operator=(const TranslationCache&) = delete;

    // The key's text in `file`, cut to bufferSize - 1 bytes; empty when there is none.
    std::string Lookup(const std::string& file, std::string_view key, size_t bufferSize);
    // Reads `file`'s texts now, as its first Lookup would.
    void Read(const std::string& file);

  private:
    void ReadLocked(const std::string& file);

    std::mutex mutex_;
    std::optional<std::string> file_;  // whose texts table_ holds
    profile::SectionTable table_;
};

// The settings of a system install (the package): the administrator's Config.ini and the folder
// of the installed programs, whose Config.ini is a link to it. Such a file is the system's, not
// the user's, whoever runs the program (root too): it is read and never written. Empty in a
// source install and in the build tree.
struct SystemConfig {
    std::string file;        // such as /etc/kq7300/Config.ini
    std::string programDir;  // such as /usr/lib/kq7300/
    // What the build was configured with (KQ_SYSTEM_CONFIG).
    static SystemConfig OfThisBuild();
};

// Config.ini and the language in use. One per process, created by start-up and passed on.
class Settings {
  public:
    // programDir ends in one separator; Config.ini and Language/ live there. When userDir is
    // given, changes go to a copy in userDir, which from then on is read instead, when the
    // program's Config.ini is the system's (see SystemConfig) or cannot be written.
    Settings(std::string programDir, const LocaleSource& locale, std::string userDir = {},
             SystemConfig system = {});

    const std::string& programDir() const { return programDir_; }
    // The Config.ini that reads use: the user's copy once there is one, else the program's.
    std::string configFile() const;
    const LocaleSource& locale() const { return locale_; }

    // Sets CurrentLanguageFile; true when Config.ini names a language, false when the locale
    // chose it (start-up then asks the user).
    bool LanguageFilePath(const std::string& moduleDir);
    // Both store the name in Config.ini and return false when that failed (the reason goes to
    // stderr); SaveLanguageChoice also makes it the language in use, whatever the outcome.
    bool SaveLanguageChoice(const std::string& name);
    std::string ReadLanguageSetting() const;
    bool WriteLanguageSetting(const std::string& name) const;
    // True the first time it is asked after a store failed, false ever after: the window says
    // so once per run.
    bool TakeWriteFailureNotice() const;
    // Pairs of a section in file order (at most what a 260-byte read holds).
    std::vector<ConfigPair> ReadConfigSection(const std::string& section) const;

    // A key's text in the current language (UTF-8), or the text after its first ".".
    std::string Translate(std::string_view key) const;
    // The same, or `fallback` when the language file is missing or has no text for the key.
    std::string Translate(std::string_view key, std::string_view fallback) const;
    // Makes the language file of that name beside the program the current one, storing nothing:
    // for a program whose language follows the locale (the command line).
    void UseLanguage(std::string_view name);
    // Reads the current language's texts on a thread of its own while a window is built (a
    // language file takes a few hundred microseconds); a Translate meanwhile waits for them.
    std::jthread ReadTextsAhead() const;

    std::string CurrentLanguageFile;

    // $XDG_CONFIG_HOME/kq7300/, else ~/.config/kq7300/ (on Windows %APPDATA%\kq7300\); empty
    // when neither can be told.
    static std::string DefaultUserDir();

    // Whether the file is the system's: the Config.ini beside the installed programs, or one
    // that is or leads (through links) to the system's file.
    bool IsSystemFile(const std::string& file) const;

  private:
    std::string ConfigIn(const std::string& dir) const;
    bool StoreLanguage(const std::string& name) const;

    std::string programDir_;
    std::string userDir_;
    SystemConfig system_;
    const LocaleSource& locale_;
    mutable TranslationCache texts_;
    mutable bool writeFailed_ = false;
    mutable bool writeFailureNoticed_ = false;
};

}  // namespace kq
