#include "dialogs/number_text.h"

#include <algorithm>
#include <limits>

#include "l10n/text.h"

namespace kq {
namespace {

constexpr long long kCeiling = std::numeric_limits<uint32_t>::max() + 1LL;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<uint32_t> ParseUnsigned(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    long long value = 0;
    const size_t digitsStart = i;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = std::min(kCeiling, value * 10 + (text[i] - '0'));
    }
    if (i == digitsStart) return std::nullopt;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i != text.size()) return std::nullopt;
    return static_cast<uint32_t>(std::min(value, kCeiling - 1));
}

std::string FillPlaces(std::string_view text, std::string_view first, std::string_view second) {
    return second.empty() ? FillPlaces(text, {first}) : FillPlaces(text, {first, second});
}

std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values) {
    return text::FillPlaces(text, values);
}

}  // namespace kq
