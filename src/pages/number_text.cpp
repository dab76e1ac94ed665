#include "pages/number_text.h"

#include <limits>

namespace kq {
namespace {

constexpr long long kCeiling = std::numeric_limits<uint32_t>::max() + 1LL;

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}
bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Reads digits from i on; returns how many there were.
int Digits(const QString& text, qsizetype& i, long long& value) {
    int count = 0;
    value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++count) {
        value = std::min(kCeiling, value * 10 + (text[i].unicode() - u'0'));
    }
    return count;
}

}  // namespace

std::optional<uint32_t> ParseUnsigned(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size() && text[i] == u'+') ++i;
    long long value = 0;
    if (Digits(text, i, value) == 0) return std::nullopt;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i != text.size()) return std::nullopt;
    return static_cast<uint32_t>(std::min(value, kCeiling - 1));
}

}  // namespace kq
