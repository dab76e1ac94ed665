#include "l10n/text.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

#include "os/os.h"
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace kq::text {
namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;  // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return len;
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

#ifdef _WIN32
constexpr UINT kGb18030 = 54936;
constexpr UINT kGbk = 936;

// Windows has GB18030 as code page 54936; wine 8 has not. There GBK (936) converts the one- and
// two-byte characters, and the four-byte ones above U+FFFF follow from GB18030's arithmetic;
// four-byte forms of other characters become U+FFFD (and '?' the other way).
UINT Gb18030CodePage() {
    static const UINT page = IsValidCodePage(kGb18030) ? kGb18030 : kGbk;
    return page;
}

// Length of the GB18030 sequence starting at s[i] by its form alone, or 0 when there is none:
// 00-7F; 81-FE with 40-7E or 80-FE; 81-FE, 30-39, 81-FE, 30-39.
size_t Gb18030SequenceLength(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const auto in = [](unsigned char b, unsigned char lo, unsigned char hi) {
        return b >= lo && b <= hi;
    };
    if (byte(i) < 0x80) return 1;
    if (!in(byte(i), 0x81, 0xFE) || i + 1 >= s.size()) return 0;
    if (in(byte(i + 1), 0x40, 0x7E) || in(byte(i + 1), 0x80, 0xFE)) return 2;
    if (!in(byte(i + 1), 0x30, 0x39) || i + 3 >= s.size()) return 0;
    return in(byte(i + 2), 0x81, 0xFE) && in(byte(i + 3), 0x30, 0x39) ? 4 : 0;
}

constexpr char32_t kFirstSupplementary = 0x10000;

// The character of a four-byte sequence from 90 30 81 30 (U+10000) on, else 0.
char32_t SupplementaryOf(std::string_view seq) {
    const auto byte = [&](size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(seq[k]));
    };
    if (byte(0) < 0x90) return 0;
    const char32_t linear =
        (((byte(0) - 0x90) * 10 + (byte(1) - 0x30)) * 126 + (byte(2) - 0x81)) * 10 +
        (byte(3) - 0x30);
    return linear <= 0xFFFFF ? kFirstSupplementary + linear : 0;
}

void AppendSupplementaryBytes(char32_t c, std::string& out) {
    char32_t linear = c - kFirstSupplementary;
    char bytes[4];
    bytes[3] = static_cast<char>(0x30 + linear % 10);
    linear /= 10;
    bytes[2] = static_cast<char>(0x81 + linear % 126);
    linear /= 126;
    bytes[1] = static_cast<char>(0x30 + linear % 10);
    bytes[0] = static_cast<char>(0x90 + linear / 10);
    out.append(bytes, 4);
}

// Appends the characters of bytes the code page knows, all or nothing.
bool AppendDecoded(std::string_view bytes, std::wstring& out) {
    const int size = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(Gb18030CodePage(), MB_ERR_INVALID_CHARS, bytes.data(), size,
                                      nullptr, 0);
    if (n <= 0) return false;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    MultiByteToWideChar(Gb18030CodePage(), MB_ERR_INVALID_CHARS, bytes.data(), size, &out[at], n);
    return true;
}

// As iconv is used on POSIX systems: a byte that starts no character becomes U+FFFD and is
// skipped, and decoding goes on at the next byte.
std::wstring DecodeGb18030(std::string_view in) {
    const bool wholeCodePage = Gb18030CodePage() == kGb18030;
    std::wstring out;
    size_t i = 0;
    while (i < in.size()) {
        // The longest run that one call converts: whole sequences the code page covers.
        size_t end = i;
        for (size_t n; end < in.size() && (n = Gb18030SequenceLength(in, end)) != 0 &&
                       (n != 4 || wholeCodePage);) {
            end += n;
        }
        if (end > i) {
            if (AppendDecoded(in.substr(i, end - i), out)) {
                i = end;
                continue;
            }
            // A sequence of the run names no character: the ones before it go through.
            while (i < end && AppendDecoded(in.substr(i, Gb18030SequenceLength(in, i)), out)) {
                i += Gb18030SequenceLength(in, i);
            }
            if (i == end) continue;
        } else if (Gb18030SequenceLength(in, i) == 4) {
            if (const char32_t c = SupplementaryOf(in.substr(i, 4)); c != 0) {
                const char32_t offset = c - kFirstSupplementary;
                out += static_cast<wchar_t>(0xD800 + (offset >> 10));
                out += static_cast<wchar_t>(0xDC00 + (offset & 0x3FF));
                i += 4;
                continue;
            }
        }
        out += L'\xFFFD';
        ++i;
    }
    return out;
}

// UTF-16 that is well-formed (it came from valid UTF-8) as GB18030.
void AppendEncoded(std::wstring_view wide, std::string& out) {
    const auto convert = [&](std::wstring_view part) {
        if (part.empty()) return;
        const int size = static_cast<int>(part.size());
        const int n = WideCharToMultiByte(Gb18030CodePage(), 0, part.data(), size, nullptr, 0,
                                          nullptr, nullptr);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(std::max(n, 0)));
        WideCharToMultiByte(Gb18030CodePage(), 0, part.data(), size, &out[at], n, nullptr, nullptr);
    };
    if (Gb18030CodePage() == kGb18030) return convert(wide);
    size_t begin = 0;
    for (size_t k = 0; k + 1 < wide.size(); ++k) {
        if (wide[k] < 0xD800 || wide[k] > 0xDBFF) continue;
        convert(wide.substr(begin, k - begin));
        AppendSupplementaryBytes(kFirstSupplementary +
                                     ((static_cast<char32_t>(wide[k]) - 0xD800) << 10) +
                                     (static_cast<char32_t>(wide[k + 1]) - 0xDC00),
                                 out);
        begin = ++k + 1;
    }
    convert(wide.substr(begin));
}
#else
// Converts with an open iconv descriptor; an input byte iconv rejects is replaced by
// `replacement` and skipped. The descriptor is back in its initial state afterwards.
std::string Convert(iconv_t cd, std::string_view in, std::string_view replacement) {
    std::string out;
    out.reserve(in.size() * 3 / 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[1024];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        const int error = errno;
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (r == static_cast<size_t>(-1) && error != E2BIG) {
            // EILSEQ, or EINVAL for a sequence cut short by the end: skip one byte.
            out.append(replacement);
            ++src;
            --srcLeft;
        }
    }
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    return out;
}

// Without a converter (a system lacking the GB18030 tables) only ASCII is known for certain;
// every other byte is shown as unknown rather than passed on as invalid UTF-8.
std::string AsciiOnly(std::string_view in) {
    std::string out;
    for (const char c : in) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
        } else {
            out.append(kReplacementCharacter);
        }
    }
    return out;
}

std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::string_view(to) == "UTF-8" ? AsciiOnly(in) : std::string(in);
    }
    std::string out = Convert(cd, in, replacement);
    iconv_close(cd);
    return out;
}
#endif

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t len = Utf8SequenceLength(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string_view CutUtf8(std::string_view utf8, size_t maxBytes) {
    if (utf8.size() <= maxBytes) return utf8;
    size_t n = maxBytes;
    // utf8[n] is the first byte left out; while it continues a character, leave that one out too.
    while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
    return utf8.substr(0, n);
}

#ifdef _WIN32
std::string Gb18030ToUtf8(std::string_view bytes) {
    return os::Utf8(DecodeGb18030(bytes));
}

Gb18030Decoder::Gb18030Decoder() : cd_(nullptr) {}

Gb18030Decoder::~Gb18030Decoder() = default;

std::string Gb18030Decoder::operator()(std::string_view bytes) {
    return Gb18030ToUtf8(bytes);
}

std::string Utf8ToGb18030(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        size_t end = i;
        for (size_t n; end < utf8.size() && (n = Utf8SequenceLength(utf8, end)) != 0;) end += n;
        if (end == i) {
            out += '?';
            ++i;
            continue;
        }
        AppendEncoded(os::Wide(utf8.substr(i, end - i)), out);
        i = end;
    }
    return out;
}
#else
std::string Gb18030ToUtf8(std::string_view bytes) {
    return Convert("UTF-8", "GB18030", bytes, kReplacementCharacter);
}

Gb18030Decoder::Gb18030Decoder() : cd_(iconv_open("UTF-8", "GB18030")) {}

Gb18030Decoder::~Gb18030Decoder() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

std::string Gb18030Decoder::operator()(std::string_view bytes) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return AsciiOnly(bytes);
    return Convert(cd_, bytes, kReplacementCharacter);
}

std::string Utf8ToGb18030(std::string_view utf8) {
    return Convert("GB18030", "UTF-8", utf8, "?");
}

#endif

std::string_view TrimBlanks(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// One pass over the text, so that a value is never filled in again.
std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            const auto index = static_cast<size_t>(text[i + 1] - '1');
            if (index < values.size()) {
                out += *(values.begin() + index);
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace kq::text
