#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Byte-level text helpers of the settings layer: UTF-8 is the internal encoding, GB18030 the
// encoding of Simplified Chinese files saved on Windows.
namespace kq::text {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// The longest prefix of at most maxBytes bytes that does not end inside a UTF-8 character.
std::string_view CutUtf8(std::string_view utf8, size_t maxBytes);

// GB18030 bytes as UTF-8; a byte that starts no valid sequence becomes U+FFFD. iconv converts on
// POSIX systems, code page 54936 on Windows.
std::string Gb18030ToUtf8(std::string_view bytes);

// The same conversion for many pieces of one file, without opening a converter for each.
class Gb18030Decoder {
  public:
    Gb18030Decoder();
    ~Gb18030Decoder();
    Gb18030Decoder(const Gb18030Decoder&) = delete;
    Gb18030Decoder& operator=(const Gb18030Decoder&) = delete;

    std::string operator()(std::string_view bytes);

  private:
    void* cd_;  // the iconv descriptor; Windows converts without one
};

// UTF-8 as GB18030 (which covers all of Unicode); invalid input bytes become '?'.
std::string Utf8ToGb18030(std::string_view utf8);

// Leading and trailing blanks (space, tab) removed.
std::string_view TrimBlanks(std::string_view s);

// ASCII case-insensitive equality, the way section and key names are matched.
bool EqualsNoCase(std::string_view a, std::string_view b);

// Each "%1" to "%9" of a language text replaced by its value, as the texts' translators write
// them: values[0] for "%1", and so on. A place with no value stays.
std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values);

}  // namespace kq::text
