#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kq {

// text as a JSON string, quotes included. Valid UTF-8 passes through; quotes, backslashes and
// control characters are escaped, and each byte that is not part of valid UTF-8 becomes U+FFFD,
// so the result is valid JSON and valid UTF-8 whatever bytes a path or serial holds.
std::string JsonString(std::string_view text);

// The values, each already written as JSON, as one array.
std::string JsonArray(const std::vector<std::string>& values);

// One JSON object, member by member, in the order added; str() gives it on one line.
class JsonObject {
  public:
    JsonObject& String(std::string_view key, std::string_view value);
    // null for an empty value (something the system does not know, like a missing serial).
    JsonObject& StringOrNull(std::string_view key, std::string_view value);
    JsonObject& Number(std::string_view key, long long value);
    JsonObject& Bool(std::string_view key, bool value);
    // A value already written as JSON, such as an array of objects.
    JsonObject& Raw(std::string_view key, std::string_view json);

    std::string str() const { return "{" + members_ + "}"; }

  private:
    std::string members_;
};

}  // namespace kq
