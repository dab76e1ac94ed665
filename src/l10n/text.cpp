#include "l10n/text.h"

#include <iconv.h>

#include <cerrno>

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

}  // namespace kq::text
