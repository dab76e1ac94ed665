// Profile (INI) files: names matched without regard to ASCII case, the first "=" splits a line,
// blanks around a value and one pair of enclosing quotation marks are removed, results are cut on
// a character boundary. Files are UTF-8 (with or without BOM); a file that is not valid UTF-8 is
// GB18030. Writes change only the line they concern and replace the file atomically.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "l10n/settings.h"
#include "l10n/text.h"

namespace kq::profile {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

enum class Codec { Utf8, Gb18030 };

struct Line {
    enum class Kind { Blank, Comment, Header, Entry, Bare };
    Kind kind = Kind::Blank;
    size_t contentEnd = 0;  // raw offset where the line ending starts
    size_t end = 0;         // raw offset after the line ending
    size_t valueBegin = 0;  // Entry: raw offset of the value (past the blanks after "=")
    std::string name;       // Header: section name; Entry: key (UTF-8)
    std::string value;      // Entry: value without blanks and quotes; Bare: the trimmed line
};

struct Document {
    std::string raw;
    Codec codec = Codec::Utf8;
    std::string eol = "\n";
    std::vector<Line> lines;
};

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    out.clear();
    char buffer[8192];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ReadResult::Ok;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

Document Parse(std::string raw) {
    Document doc;
    doc.raw = std::move(raw);
    const std::string_view all = doc.raw;
    const bool bom = all.starts_with(kBom);
    doc.codec = bom || text::IsValidUtf8(all) ? Codec::Utf8 : Codec::Gb18030;
    const size_t firstNewline = all.find('\n');
    if (firstNewline != std::string_view::npos && firstNewline > 0 &&
        all[firstNewline - 1] == '\r') {
        doc.eol = "\r\n";
    }

    size_t pos = bom ? kBom.size() : 0;
    while (pos < all.size()) {
        Line line;
        const size_t newline = all.find('\n', pos);
        line.end = newline == std::string_view::npos ? all.size() : newline + 1;
        line.contentEnd = newline == std::string_view::npos ? all.size() : newline;
        if (line.contentEnd > pos && all[line.contentEnd - 1] == '\r') --line.contentEnd;
        const std::string_view content = all.substr(pos, line.contentEnd - pos);
        const std::string decoded =
            doc.codec == Codec::Utf8 ? std::string(content) : text::Gb18030ToUtf8(content);
        const std::string_view t = text::TrimBlanks(decoded);

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
            // "=", space and tab never occur inside a GB18030 character, so the raw offsets
            // match the decoded ones.
            size_t v = pos + content.find('=') + 1;
            while (v < line.contentEnd && (all[v] == ' ' || all[v] == '\t')) ++v;
            line.valueBegin = v;
        }
        doc.lines.push_back(std::move(line));
        pos = doc.lines.back().end;
    }
    return doc;
}

std::optional<Document> Load(const std::string& file) {
    std::string raw;
    if (ReadWholeFile(file, raw) != ReadResult::Ok) return std::nullopt;
    return Parse(std::move(raw));
}

// Index range [first, last) of the lines that belong to the first section of that name, with
// first pointing at the header; nullopt when there is none.
std::optional<std::pair<size_t, size_t>> FindSection(const Document& doc,
                                                     std::string_view section) {
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        const Line& h = doc.lines[i];
        if (h.kind != Line::Kind::Header || !text::EqualsNoCase(h.name, section)) continue;
        size_t j = i + 1;
        while (j < doc.lines.size() && doc.lines[j].kind != Line::Kind::Header) ++j;
        return std::pair{i, j};
    }
    return std::nullopt;
}

const Line* FindKey(const Document& doc, std::pair<size_t, size_t> range, std::string_view key) {
    for (size_t i = range.first + 1; i < range.second; ++i) {
        const Line& line = doc.lines[i];
        if (line.kind == Line::Kind::Entry && text::EqualsNoCase(line.name, key)) return &line;
    }
    return nullptr;
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

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes a temporary file beside `path`, flushes it to disk and renames it over `path`: readers
// see either the old or the new content, never a part of it.
bool ReplaceFile(const std::string& path, std::string_view data) {
    std::string target = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) != nullptr) target = resolved;
    }
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && access(target.c_str(), W_OK) != 0) return false;  // a read-only file stays

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + (slash == std::string::npos ? "/." : ".") + base + ".tmp" +
               std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    if (exists) fchmod(fd, st.st_mode & 07777);

    bool ok = WriteAll(fd, data) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

}  // namespace

std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t bufferSize) {
    if (bufferSize == 0) return {};
    std::string_view result = defaultValue;
    const std::optional<Document> doc = Load(file);
    const Line* line = nullptr;
    if (doc) {
        if (const auto range = FindSection(*doc, section)) line = FindKey(*doc, *range, key);
    }
    if (line != nullptr) result = line->value;
    return std::string(text::CutUtf8(result, bufferSize - 1));
}

std::vector<std::string> GetSection(const std::string& file, std::string_view section,
                                    size_t bufferSize) {
    std::vector<std::string> entries;
    const std::optional<Document> doc = Load(file);
    if (!doc) return entries;
    const auto range = FindSection(*doc, section);
    if (!range) return entries;
    // The block holds each entry followed by a zero byte, then one more zero byte.
    size_t used = 0;
    for (size_t i = range->first + 1; i < range->second; ++i) {
        const Line& line = doc->lines[i];
        std::string entry;
        if (line.kind == Line::Kind::Entry && !line.name.empty()) {
            entry = line.name + "=" + line.value;
        } else if (line.kind == Line::Kind::Bare) {
            entry = line.value;
        } else {
            continue;
        }
        if (used + entry.size() + 2 <= bufferSize) {
            used += entry.size() + 1;
            entries.push_back(std::move(entry));
            continue;
        }
        if (bufferSize >= used + 3) {
            const std::string_view cut = text::CutUtf8(entry, bufferSize - used - 2);
            if (!cut.empty()) entries.emplace_back(cut);
        }
        break;
    }
    return entries;
}

bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                 std::string_view value) {
    if (section.empty() || text::TrimBlanks(section) != section || HasLineBreakOrZero(section) ||
        section.find(']') != std::string_view::npos) {
        return false;
    }
    if (key.empty() || text::TrimBlanks(key) != key || HasLineBreakOrZero(key) ||
        key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';' ||
        key.front() == '#') {
        return false;
    }
    if (HasLineBreakOrZero(value)) return false;

    std::string raw;
    const ReadResult read = ReadWholeFile(file, raw);
    if (read == ReadResult::Failed) return false;
    const Document doc = Parse(std::move(raw));
    const auto encode = [&](std::string_view s) {
        return doc.codec == Codec::Utf8 ? std::string(s) : text::Utf8ToGb18030(s);
    };
    const std::string newValue = encode(QuoteIfNeeded(value));
    const std::string& old = doc.raw;

    std::string updated;
    const auto range = FindSection(doc, section);
    if (const Line* existing = range ? FindKey(doc, *range, key) : nullptr) {
        updated = old.substr(0, existing->valueBegin) + newValue + old.substr(existing->contentEnd);
    } else if (range) {
        // After the section's last entry (or its header), before blank lines and comments
        // that lead into the next section.
        const Line* after = &doc.lines[range->first];
        for (size_t i = range->first + 1; i < range->second; ++i) {
            const Line& line = doc.lines[i];
            if (line.kind == Line::Kind::Entry || line.kind == Line::Kind::Bare) after = &line;
        }
        const std::string entry = encode(key) + "=" + newValue;
        updated = after->end == after->contentEnd
                      ? old.substr(0, after->end) + doc.eol + entry + old.substr(after->end)
                      : old.substr(0, after->end) + entry + doc.eol + old.substr(after->end);
    } else {
        updated = old;
        if (!updated.empty() && updated.back() != '\n') updated += doc.eol;
        if (!doc.lines.empty() && doc.lines.back().kind != Line::Kind::Blank) updated += doc.eol;
        updated += "[" + encode(section) + "]" + doc.eol + encode(key) + "=" + newValue + doc.eol;
    }
    if (read == ReadResult::Ok && updated == old) return true;
    return ReplaceFile(file, updated);
}

}  // namespace kq::profile
