#include "cli/json.h"

#include <cstdint>
#include <cstdio>

namespace kq {
namespace {

// The length of the valid UTF-8 sequence at the start of s, or 0. Overlong forms, surrogates and
// code points above U+10FFFF are not valid.
size_t Utf8SequenceLength(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text.substr(i));
            json += length ? text.substr(i, length) : "\\ufffd";
            i += length ? length : 1;
            continue;
        }
        ++i;
        switch (c) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\r':
                json += "\\r";
                break;
            case '\t':
                json += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    json += escaped;
                } else {
                    json += static_cast<char>(c);
                }
        }
    }
    return json + "\"";
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string json = "[";
    for (const std::string& value : values) {
        if (json.size() > 1) json += ',';
        json += value;
    }
    return json + "]";
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
    return Raw(key, JsonString(value));
}

JsonObject& JsonObject::StringOrNull(std::string_view key, std::string_view value) {
    return value.empty() ? Raw(key, "null") : String(key, value);
}

JsonObject& JsonObject::Number(std::string_view key, long long value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    if (!members_.empty()) members_ += ',';
    members_ += JsonString(key);
    members_ += ':';
    members_ += json;
    return *this;
}

}  // namespace kq
