#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kq {

// An unsigned decimal number and nothing else but surrounding blanks, as the dialog data
// exchange accepts it; numbers beyond 32 bits read as the largest value.
std::optional<uint32_t> ParseUnsigned(std::string_view text);

// Each "%1" (and "%2") of a language text replaced by its value, as the texts' translators
// write them.
std::string FillPlaces(std::string_view text, std::string_view first, std::string_view second = {});
// The same for "%1" to "%9": values[0] for "%1", and so on. A place with no value stays.
std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values);

}  // namespace kq
