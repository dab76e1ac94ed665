#include "cli/ctl_text.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include "l10n/settings.h"
#include "l10n/text.h"
#include "os/os.h"
#include "upgrade/image_files.h"

namespace kq {
namespace {

constexpr CtlTextEntry kTexts[] = {
#define KQ_CTL_TEXT_ENTRY(name, english) {"Ctl." #name, english},
    KQ_CTL_TEXTS(KQ_CTL_TEXT_ENTRY)
#undef KQ_CTL_TEXT_ENTRY
};

// The command line has no settings of its own: the locale, not Config.ini, names its language.
class NoLocale final : public LocaleSource {
  public:
    unsigned SystemDefaultLanguage() const override { return kLangEnglish; }
};

struct Language {
    NoLocale locale;
    std::unique_ptr<Settings> settings;  // none: the built-in English
};

// Chosen once at start-up, before any text is said; the upgrade worker only reads it.
Language& Current() {
    static Language language;
    return language;
}

std::string Getenv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The language part of a locale name: "zh" of "zh_CN.UTF-8@xyz".
std::string_view LanguageOf(std::string_view locale) {
    return locale.substr(0, locale.find_first_of("_.@-"));
}

bool IsCLocale(std::string_view locale) {
    const std::string_view language = LanguageOf(locale);
    return language == "C" || language == "POSIX";
}

// The file for a locale's language; empty for one that has none.
std::string_view FileOf(std::string_view locale) {
    const std::string_view language = LanguageOf(locale);
    if (text::EqualsNoCase(language, "zh")) return "SimpChinese";
    if (text::EqualsNoCase(language, "en")) return "English";
    return {};
}

}  // namespace

const CtlTextEntry* CtlTextsBegin() {
    return std::begin(kTexts);
}

const CtlTextEntry* CtlTextsEnd() {
    return std::end(kTexts);
}

const CtlTextEntry& CtlTextEntryOf(CtlText text) {
    return kTexts[static_cast<size_t>(text)];
}

std::string Say(std::string_view key, std::string_view english,
                std::initializer_list<std::string_view> values) {
    const Language& language = Current();
    const std::string text =
        language.settings ? language.settings->Translate(key, english) : std::string(english);
    return text::FillPlaces(text, values);
}

std::string Say(CtlText text, std::initializer_list<std::string_view> values) {
    const CtlTextEntry& entry = CtlTextEntryOf(text);
    return Say(entry.key, entry.english, values);
}

std::string FailureTextKey(UpgradeFailure failure) {
    const char* windowKey = UpgradeFailureKey(failure);
    if (windowKey == nullptr) return {};
    const std::string_view key(windowKey);
    return "Ctl.Fail." + std::string(key.substr(key.rfind('.') + 1));
}

std::string SayFailure(UpgradeFailure failure) {
    return Say(FailureTextKey(failure), UpgradeFailureText(failure));
}

LocaleVariables LocaleVariables::OfProcess() {
    return {Getenv("LANGUAGE"), Getenv("LC_ALL"), Getenv("LC_MESSAGES"), Getenv("LANG")};
}

std::string CtlLanguageName(const LocaleVariables& variables, std::optional<unsigned> system) {
    std::string_view locale;
    for (const std::string* v : {&variables.lcAll, &variables.lcMessages, &variables.lang}) {
        if (!v->empty()) {
            locale = *v;
            break;
        }
    }
    if (locale.empty() && !system) return "English";
    if (IsCLocale(locale)) return "English";
    std::string_view list = variables.language;
    while (!list.empty()) {
        const size_t colon = list.find(':');
        const std::string_view file = FileOf(list.substr(0, colon));
        if (!file.empty()) return std::string(file);
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    if (locale.empty()) return (*system & 0x3FF) == kLangChinese ? "SimpChinese" : "English";
    const std::string_view file = FileOf(locale);
    return file.empty() ? "English" : std::string(file);
}

void UseCtlLanguage(const std::string& programDir, std::string_view name) {
    Language& language = Current();
    if (name.empty()) {
        language.settings.reset();
        return;
    }
    language.settings = std::make_unique<Settings>(programDir, language.locale);
    language.settings->UseLanguage(name);
}

void UseLocaleLanguage() {
#ifdef _WIN32
    const std::optional<unsigned> system = os::UserInterfaceLanguage();
#else
    const std::optional<unsigned> system;
#endif
    UseCtlLanguage(os::Utf8Of(ProgramDirectory()),
                   CtlLanguageName(LocaleVariables::OfProcess(), system));
}

}  // namespace kq
