#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace kq {

// An unsigned decimal number and nothing else but surrounding blanks, as the dialog data
// exchange accepts it; numbers beyond 32 bits read as the largest value.
std::optional<uint32_t> ParseUnsigned(const QString& text);

}  // namespace kq
