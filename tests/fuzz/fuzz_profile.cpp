// Config.ini's reader and writer on the bytes of any file: reads give valid UTF-8 and cut a
// section as one block; a write that is refused is refused for a reason, and one that is done
// reads back as written, changes no other entry of any section and is done once only.
//
// Input: one byte each for the lengths of section (0-15), key (0-15) and value (0-63), one for a
// section read's buffer size, then the section, key and value, and the file is the rest.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "l10n/settings.h"
#include "l10n/text.h"

using namespace kq;

namespace {

constexpr size_t kWhole = SIZE_MAX;  // a buffer no section fills

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool HasLineBreakOrZero(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// What cannot stand on a line of the file as a section name, a key or a value.
bool Writable(std::string_view section, std::string_view key, std::string_view value) {
    const bool sectionOk = !section.empty() && text::TrimBlanks(section) == section &&
                           !HasLineBreakOrZero(section) && section.find(']') == section.npos;
    const bool keyOk = !key.empty() && text::TrimBlanks(key) == key && !HasLineBreakOrZero(key) &&
                       key.find('=') == key.npos && key.front() != '[' && key.front() != ';' &&
                       key.front() != '#';
    return sectionOk && keyOk && !HasLineBreakOrZero(value);
}

// How the reader tells the file's encoding: UTF-8 when all after a byte-order mark is.
bool IsUtf8File(std::string_view file) {
    if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
    return text::IsValidUtf8(file);
}

// Such a file reads the same in either encoding.
bool IsAscii(std::string_view file) {
    if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
    return std::all_of(file.begin(), file.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Every name in brackets at the start of a line, as bytes and as GB18030 read as UTF-8: a
// superset of the file's sections (a name that is none reads as an empty section).
void AddSectionNames(std::string_view file, std::set<std::string>& names) {
    size_t begin = 0;
    while (begin < file.size() && names.size() < 32) {
        size_t end = file.find_first_of("\r\n", begin);
        if (end == file.npos) end = file.size();
        const std::string_view raw = file.substr(begin, end - begin);
        const std::string decoded = text::Gb18030ToUtf8(raw);
        for (std::string_view line : {raw, std::string_view(decoded)}) {
            line = text::TrimBlanks(line);
            if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
            if (!line.starts_with('[')) continue;
            const size_t close = line.find(']');
            names.emplace(text::TrimBlanks(line.substr(1, close == line.npos ? close : close - 1)));
        }
        begin = end + 1;
    }
}

// The entry's name when it is a key=value entry (a bare line has no "=").
std::optional<std::string_view> NameOf(std::string_view entry) {
    const size_t eq = entry.find('=');
    if (eq == entry.npos) return std::nullopt;
    return entry.substr(0, eq);
}

// A section read into a buffer of `size` bytes holds the whole entries that fit, each with its
// zero and one more zero at the end, and then the part of the next one that still fits.
void CheckCut(const std::vector<std::string>& whole, const std::vector<std::string>& cut,
              size_t size) {
    KQ_FUZZ_CHECK(cut.size() <= whole.size());
    size_t used = 0;
    size_t i = 0;
    for (; i < cut.size() && cut[i] == whole[i]; ++i) used += whole[i].size() + 1;
    if (i == whole.size()) {
        KQ_FUZZ_CHECK(whole.empty() || used + 1 <= size);
        return;
    }
    KQ_FUZZ_CHECK(used + whole[i].size() + 2 > size);  // the first entry left whole did not fit
    KQ_FUZZ_CHECK(cut.size() <= i + 1);
    if (cut.size() == i + 1) {
        KQ_FUZZ_CHECK(!cut[i].empty() && whole[i].starts_with(cut[i]));
        KQ_FUZZ_CHECK(used + cut[i].size() + 2 <= size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const size_t sectionLength = input.Byte() & 15;
    const size_t keyLength = input.Byte() & 15;
    const size_t valueLength = input.Byte() & 63;
    const size_t bufferSize = input.Byte();
    const std::string section(AsText(input.Bytes(sectionLength)));
    const std::string key(AsText(input.Bytes(keyLength)));
    const std::string value(AsText(input.Bytes(valueLength)));
    const std::string before(AsText(input.Rest()));

    std::set<std::string> names{section};
    AddSectionNames(before, names);

    // Whatever the bytes, what is read is UTF-8, and a short buffer cuts a section as one block.
    for (const std::string& name : names) {
        const std::vector<std::string> entries = profile::SectionEntries(before, name, kWhole);
        for (const std::string& entry : entries) KQ_FUZZ_CHECK(text::IsValidUtf8(entry));
        CheckCut(entries, profile::SectionEntries(before, name, bufferSize), bufferSize);
    }
    if (const auto found = profile::FindValue(before, section, key)) {
        KQ_FUZZ_CHECK(text::IsValidUtf8(*found));
    }

    const std::optional<std::string> after = profile::WithString(before, section, key, value);
    KQ_FUZZ_CHECK(after.has_value() == Writable(section, key, value));
    if (!after) return 0;
    // The program's own texts are UTF-8; other bytes cannot be told apart from the file's.
    if (!text::IsValidUtf8(section) || !text::IsValidUtf8(key) || !text::IsValidUtf8(value)) {
        return 0;
    }

    // A GB18030 file stays one, or its other non-ASCII texts would read differently.
    KQ_FUZZ_CHECK(IsUtf8File(before) || !IsUtf8File(*after) || IsAscii(*after));

    KQ_FUZZ_CHECK(profile::FindValue(*after, section, key) == value);
    KQ_FUZZ_CHECK(profile::WithString(*after, section, key, value) == after);

    // Every section reads as before, but for the written key: its first entry in the section
    // takes the value, or it is added at the end of the section (a new one if need be).
    AddSectionNames(*after, names);
    for (const std::string& name : names) {
        std::vector<std::string> expected = profile::SectionEntries(before, name, kWhole);
        if (text::EqualsNoCase(name, section)) {
            bool replaced = false;
            for (std::string& entry : expected) {
                const auto entryName = NameOf(entry);
                if (entryName && text::EqualsNoCase(*entryName, key)) {
                    entry = std::string(*entryName) + "=" + value;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) expected.push_back(key + "=" + value);
        }
        KQ_FUZZ_CHECK(profile::SectionEntries(*after, name, kWhole) == expected);
    }
    return 0;
}
