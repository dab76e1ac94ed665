// The language-file reader on the bytes of any file (UTF-8 or GB18030, with or without a
// byte-order mark): every text it gives is valid UTF-8, and the table read in one pass finds
// what the single-key reader finds, for every key of the section in any case.
//
// Input: the file.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "l10n/settings.h"
#include "l10n/text.h"

using namespace kq;

namespace {

constexpr std::string_view kSection = "String";

std::string WithCase(std::string_view s, bool upper) {
    std::string out(s);
    for (char& c : out) {
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void CheckAgrees(const profile::SectionTable& table, std::string_view bytes, std::string_view key) {
    const std::optional<std::string_view> fromTable = table.Find(key);
    const std::optional<std::string> single = profile::FindValue(bytes, kSection, key);
    KQ_FUZZ_CHECK(fromTable.has_value() == single.has_value());
    if (!single) return;
    KQ_FUZZ_CHECK(*fromTable == *single);
    KQ_FUZZ_CHECK(text::IsValidUtf8(*single));
    // As a translation is used: cut to its 300-byte buffer.
    KQ_FUZZ_CHECK(text::IsValidUtf8(text::CutUtf8(*single, 299)));
}

// A file just over the size limit is refused whole, whatever it holds.
void CheckRefusalOnce(std::string_view bytes) {
    static bool checked = false;
    if (checked) return;
    checked = true;
    std::string big(bytes);
    big += "\n[String]\nk=v\n";
    big.resize(std::max(big.size(), profile::kMaxFileSize + 1), '\n');
    KQ_FUZZ_CHECK(profile::SectionTable::Parse(big, kSection).size() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckRefusalOnce(bytes);
    const profile::SectionTable table = profile::SectionTable::Parse(bytes, kSection);
    if (size > profile::kMaxFileSize) {
        KQ_FUZZ_CHECK(table.size() == 0);
        return 0;
    }

    const std::vector<std::string> entries = profile::SectionEntries(bytes, kSection, SIZE_MAX);
    size_t keyed = 0;
    for (const std::string& entry : entries) {
        KQ_FUZZ_CHECK(text::IsValidUtf8(entry));
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;  // a line without "=" holds no text
        ++keyed;
        const std::string_view key = std::string_view(entry).substr(0, eq);
        CheckAgrees(table, bytes, key);
        CheckAgrees(table, bytes, WithCase(key, true));
        CheckAgrees(table, bytes, WithCase(key, false));
    }
    // Entries without a name are in the table, never in the section's list.
    KQ_FUZZ_CHECK(table.size() >= keyed);
    for (std::string_view key : {"", "Tab.Led", "Led.Write", "x"}) CheckAgrees(table, bytes, key);
    return 0;
}
