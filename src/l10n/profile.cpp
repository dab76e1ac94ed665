// Profile (INI) files: names matched without regard to ASCII case, the first "=" splits a line,
// blanks around a value and one pair of enclosing quotation marks are removed, results are cut on
// a character boundary. Lines end in CR LF, LF or a lone CR. Files are UTF-8 (with or without
// BOM); a file that is not valid UTF-8 after its BOM is GB18030. Writes change only the line they
// concern and replace the file atomically.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <iostream>
#include <optional>
#include <utility>

#include "l10n/os.h"
#include "l10n/settings.h"
#include "l10n/text.h"

namespace kq::profile {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kLineBreaks = "\r\n";

enum class Codec { Utf8, Gb18030 };

struct Line {
    enum class Kind { Blank, Comment, Header, Entry, Bare };
    Kind kind = Kind::Blank;
    size_t contentEnd = 0;  // raw offset where the line ending starts
    size_t end = 0;         // raw offset after the line ending
    size_t valueBegin = 0;  // Entry: raw offset of the value (past the blanks after "=")
    // Header: section name; Entry: key; UTF-8, valid until the scanner's next line.
    std::string_view name;
    // Entry: value without blanks and quotes; Bare: the trimmed line.
    std::string_view value;
};

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Reads a file's lines one at a time, keeping nothing of the lines already read, so that a
// read needs little more memory than the file's bytes.
class Scanner {
  public:
    explicit Scanner(std::string_view raw) : raw_(raw) {
        pos_ = raw.starts_with(kBom) ? kBom.size() : 0;
        // A byte-order mark does not make the bytes UTF-8: an editor may have put one in front
        // of a GB18030 file, whose texts must not come out as invalid UTF-8.
        codec_ = text::IsValidUtf8(raw.substr(pos_)) ? Codec::Utf8 : Codec::Gb18030;
        if (codec_ == Codec::Gb18030) decoder_.emplace();
        const size_t first = raw.find_first_of(kLineBreaks);
        if (first != std::string_view::npos && raw[first] == '\r') {
            eol_ = raw.substr(first, 2) == "\r\n" ? "\r\n" : "\r";
        }
    }

    Codec codec() const { return codec_; }
    // The ending of the file's first line, which new lines get.
    std::string_view eol() const { return eol_; }

    bool Next(Line& line) {
        if (pos_ >= raw_.size()) return false;
        const size_t begin = pos_;
        const size_t lineBreak = raw_.find_first_of(kLineBreaks, begin);
        line = Line{};
        if (lineBreak == std::string_view::npos) {
            line.contentEnd = line.end = raw_.size();
        } else {
            line.contentEnd = lineBreak;
            line.end = raw_.substr(lineBreak, 2) == "\r\n" ? lineBreak + 2 : lineBreak + 1;
        }
        pos_ = line.end;

        const std::string_view content = raw_.substr(begin, line.contentEnd - begin);
        std::string_view t = content;
        if (codec_ == Codec::Gb18030 && !IsAscii(content)) {
            decoded_ = (*decoder_)(content);
            t = decoded_;
        }
        t = text::TrimBlanks(t);
        if (t.empty()) {
            line.kind = Line::Kind::Blank;
        } else if (t.front() == ';' || t.front() == '#') {
            line.kind = Line::Kind::Comment;
        } else if (t.front() == '[') {
            line.kind = Line::Kind::Header;
            const size_t close = t.find(']');
            line.name =
                text::TrimBlanks(t.substr(1, close == std::string_view::npos ? close : close - 1));
        } else if (const size_t eq = t.find('='); eq == std::string_view::npos) {
            line.kind = Line::Kind::Bare;
            line.value = t;
        } else {
            line.kind = Line::Kind::Entry;
            line.name = text::TrimBlanks(t.substr(0, eq));
            line.value = Unquote(text::TrimBlanks(t.substr(eq + 1)));
            // "=", space, tab, CR and LF never occur inside a GB18030 character, so the raw
            // offsets match the decoded ones.
            size_t v = begin + content.find('=') + 1;
            while (v < line.contentEnd && (raw_[v] == ' ' || raw_[v] == '\t')) ++v;
            line.valueBegin = v;
        }
        return true;
    }

  private:
    std::string_view raw_;
    size_t pos_ = 0;
    Codec codec_ = Codec::Utf8;
    std::string_view eol_ = "\n";
    std::string decoded_;
    std::optional<text::Gb18030Decoder> decoder_;
};

// Calls visit(line) for each line of the first section of that name, after its header, until
// visit returns false. Returns whether there is such a section.
template <class Visit>
bool VisitSection(Scanner& scanner, std::string_view section, Visit visit) {
    Line line;
    bool found = false;
    while (scanner.Next(line)) {
        if (line.kind == Line::Kind::Header) {
            if (found) break;
            found = text::EqualsNoCase(line.name, section);
        } else if (found && !visit(line)) {
            break;
        }
    }
    return found;
}

using os::ReadResult;

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
    const ReadResult result = os::ReadRegularFile(path, kMaxFileSize, out);
    if (result == ReadResult::Failed && errno == EFBIG) {
        std::cerr << "warning: " << path << " is larger than " << (kMaxFileSize >> 20)
                  << " MiB and is not read\n";
        errno = EFBIG;
    }
    return result;
}

bool HasLineBreakOrZero(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A value as it must stand in the file so that reading it back gives the same text.
std::string QuoteIfNeeded(std::string_view value) {
    if (text::TrimBlanks(value) != value || Unquote(value) != value) {
        return "\"" + std::string(value) + "\"";
    }
    return std::string(value);
}

// The bytes of `file` with the value set, written to `target`.
bool WriteUpdated(const std::string& file, const std::string& target, std::string_view section,
                  std::string_view key, std::string_view value) {
    std::string raw;
    const ReadResult read = ReadWholeFile(file, raw);
    if (read == ReadResult::Failed) return false;
    const std::optional<std::string> updated = WithString(raw, section, key, value);
    if (!updated) {
        errno = EINVAL;
        return false;
    }
    if (read == ReadResult::Ok && file == target && *updated == raw) return true;
    return os::ReplaceContent(target, *updated);
}

bool LessNoCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
    };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return lower(x) < lower(y); });
}

}  // namespace

std::optional<std::string> FindValue(std::string_view bytes, std::string_view section,
                                     std::string_view key) {
    std::optional<std::string> value;
    Scanner scanner(bytes);
    VisitSection(scanner, section, [&](const Line& line) {
        if (line.kind != Line::Kind::Entry || !text::EqualsNoCase(line.name, key)) return true;
        value.emplace(line.value);
        return false;
    });
    return value;
}

std::vector<std::string> SectionEntries(std::string_view bytes, std::string_view section,
                                        size_t bufferSize) {
    // The block holds each entry followed by a zero byte, then one more zero byte.
    std::vector<std::string> entries;
    size_t used = 0;
    Scanner scanner(bytes);
    VisitSection(scanner, section, [&](const Line& line) {
        std::string entry;
        if (line.kind == Line::Kind::Entry && !line.name.empty()) {
            entry = std::string(line.name) + "=" + std::string(line.value);
        } else if (line.kind == Line::Kind::Bare) {
            entry = line.value;
        } else {
            return true;
        }
        if (used + entry.size() + 2 <= bufferSize) {
            used += entry.size() + 1;
            entries.push_back(std::move(entry));
            return true;
        }
        if (bufferSize >= used + 3) {
            const std::string_view cut = text::CutUtf8(entry, bufferSize - used - 2);
            if (!cut.empty()) entries.emplace_back(cut);
        }
        return false;
    });
    return entries;
}

std::optional<std::string> WithString(std::string_view bytes, std::string_view section,
                                      std::string_view key, std::string_view value) {
    if (section.empty() || text::TrimBlanks(section) != section || HasLineBreakOrZero(section) ||
        section.find(']') != std::string_view::npos) {
        return std::nullopt;
    }
    if (key.empty() || text::TrimBlanks(key) != key || HasLineBreakOrZero(key) ||
        key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';' ||
        key.front() == '#') {
        return std::nullopt;
    }
    if (HasLineBreakOrZero(value)) return std::nullopt;

    Scanner scanner(bytes);
    const auto encode = [&](std::string_view s) {
        return scanner.codec() == Codec::Utf8 ? std::string(s) : text::Utf8ToGb18030(s);
    };
    const std::string newValue = encode(QuoteIfNeeded(value));
    const std::string eol(scanner.eol());

    // One pass: the key's line if it is there, else the section's last entry (or its header),
    // before blank lines and comments that lead into the next section.
    std::optional<Line> existing;
    std::optional<Line> after;
    Line last;
    Line line;
    bool found = false;
    bool any = false;
    while (!existing && scanner.Next(line)) {
        any = true;
        last = line;
        if (line.kind == Line::Kind::Header) {
            if (found) break;
            found = text::EqualsNoCase(line.name, section);
            if (found) after = line;
        } else if (found && line.kind == Line::Kind::Entry && text::EqualsNoCase(line.name, key)) {
            existing = line;
        } else if (found && (line.kind == Line::Kind::Entry || line.kind == Line::Kind::Bare)) {
            after = line;
        }
    }

    const std::string entry = encode(key) + "=" + newValue;
    std::string updated;
    if (existing) {
        updated.reserve(bytes.size() + newValue.size());
        updated.append(bytes.substr(0, existing->valueBegin));
        updated.append(newValue);
        updated.append(bytes.substr(existing->contentEnd));
    } else if (after) {
        updated.reserve(bytes.size() + entry.size() + 2 * eol.size());
        updated.append(bytes.substr(0, after->end));
        updated.append(after->end == after->contentEnd ? eol + entry : entry + eol);
        updated.append(bytes.substr(after->end));
    } else {
        // A new section at the end, after a blank line. `last` is the file's last line here,
        // since the loop only stops early when it finds the section.
        updated = bytes;
        if (any && last.end == last.contentEnd) updated += eol;
        if (any && last.kind != Line::Kind::Blank) updated += eol;
        updated += "[" + encode(section) + "]" + eol + entry + eol;
    }
    // A GB18030 file whose only bytes that are not UTF-8 were the old value's would read as UTF-8
    // from now on, and its other non-ASCII texts with it. A comment in GB18030 keeps it what it
    // is; every other byte stays.
    const std::string_view body = std::string_view(updated).substr(
        std::string_view(updated).starts_with(kBom) ? kBom.size() : 0);
    if (scanner.codec() == Codec::Gb18030 && !IsAscii(body) && text::IsValidUtf8(body)) {
        if (updated.back() != '\n' && updated.back() != '\r') updated += eol;
        updated += text::Utf8ToGb18030("; 编码：GB18030") + eol;
    }
    return updated;
}

SectionTable SectionTable::Parse(std::string_view bytes, std::string_view section) {
    SectionTable table;
    // Offsets are 32 bits: far more than the bytes of any file that is read at all.
    if (bytes.size() > kMaxFileSize) return table;
    // Room for one entry a line, reserved at once, so that the table never holds a vector's
    // spare growth.
    size_t lines = 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' ||
            (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'))) {
            ++lines;
        }
    }
    table.entries_.reserve(lines);
    table.text_.reserve(bytes.size());
    Scanner scanner(bytes);
    // Entries of one name are ordered by their place in text_, which an entry without name or
    // value does not advance; of the entries without a name only the first is ever found.
    bool unnamedSeen = false;
    VisitSection(scanner, section, [&](const Line& line) {
        if (line.kind != Line::Kind::Entry) return true;
        if (line.name.empty() && std::exchange(unnamedSeen, true)) return true;
        const auto at = static_cast<uint32_t>(table.text_.size());
        table.entries_.push_back({at, static_cast<uint32_t>(line.name.size()),
                                  static_cast<uint32_t>(at + line.name.size()),
                                  static_cast<uint32_t>(line.value.size())});
        table.text_.append(line.name);
        table.text_.append(line.value);
        return true;
    });
    table.text_.shrink_to_fit();
    if (table.entries_.capacity() > 2 * table.entries_.size() + 64) table.entries_.shrink_to_fit();
    // Entries of the same name stay in file order (text_ grows in file order), so the first
    // in the file is found; sorted in place, without a second copy of the table.
    std::sort(table.entries_.begin(), table.entries_.end(), [&](const Entry& a, const Entry& b) {
        const std::string_view x = table.KeyOf(a);
        const std::string_view y = table.KeyOf(b);
        if (LessNoCase(x, y)) return true;
        return !LessNoCase(y, x) && a.key < b.key;
    });
    return table;
}

std::optional<std::string_view> SectionTable::Find(std::string_view key) const {
    const auto it = std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [&](const Entry& e, std::string_view k) { return LessNoCase(KeyOf(e), k); });
    if (it == entries_.end() || !text::EqualsNoCase(KeyOf(*it), key)) return std::nullopt;
    return std::string_view(text_).substr(it->value, it->valueLength);
}

std::string_view SectionTable::KeyOf(const Entry& e) const {
    return std::string_view(text_).substr(e.key, e.keyLength);
}

SectionTable LoadSection(const std::string& file, std::string_view section) {
    std::string raw;
    if (ReadWholeFile(file, raw) != ReadResult::Ok) return {};
    return SectionTable::Parse(raw, section);
}

std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t bufferSize) {
    if (bufferSize == 0) return {};
    std::string raw;
    std::optional<std::string> value;
    if (ReadWholeFile(file, raw) == ReadResult::Ok) value = FindValue(raw, section, key);
    return std::string(text::CutUtf8(value ? *value : defaultValue, bufferSize - 1));
}

std::vector<std::string> GetSection(const std::string& file, std::string_view section,
                                    size_t bufferSize) {
    std::string raw;
    if (ReadWholeFile(file, raw) != ReadResult::Ok) return {};
    return SectionEntries(raw, section, bufferSize);
}

bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                 std::string_view value) {
    return WriteUpdated(file, file, section, key, value);
}

bool CopyWithString(const std::string& source, const std::string& copy, std::string_view section,
                    std::string_view key, std::string_view value) {
    return WriteUpdated(source, copy, section, key, value);
}

}  // namespace kq::profile

namespace kq::os {

namespace {
constexpr std::string_view kTempMark = ".tmp";
}  // namespace

std::string TempFileName(std::string_view base, ProcessId pid, unsigned n) {
    return "." + std::string(base) + std::string(kTempMark) + std::to_string(pid) + "-" +
           std::to_string(n);
}

ProcessId TempFileOwner(std::string_view name, std::string_view base) {
    if (!name.starts_with('.')) return 0;
    name.remove_prefix(1);
    if (!name.starts_with(base)) return 0;
    name.remove_prefix(base.size());
    if (!name.starts_with(kTempMark)) return 0;
    name.remove_prefix(kTempMark.size());
    const size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size()) return 0;
    const auto allDigits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!allDigits(name.substr(0, dash)) || !allDigits(name.substr(dash + 1))) return 0;
    ProcessId pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + dash, pid);
    return error == std::errc() && end == name.data() + dash && pid > 0 ? pid : 0;
}

}  // namespace kq::os
