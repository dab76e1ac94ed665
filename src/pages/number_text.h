#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace kq {

// The number at the start of text as atoi reads it: blanks, an optional sign, then digits up
// to the first other character; no digits give 0. Saturates instead of overflowing.
long long LeadingInteger(const QString& text);

// An unsigned decimal number and nothing else but surrounding blanks, as the dialog data
// exchange accepts it; numbers beyond 32 bits read as the largest value.
std::optional<uint32_t> ParseUnsigned(const QString& text);

}  // namespace kq
