#pragma once

#include <cctype>
#include <string_view>

namespace kq::test {

// True when text is exactly one JSON value (RFC 8259), whitespace around it allowed. Checks the
// form only; strings must be valid UTF-8 with valid escapes.
class JsonCheck {
  public:
    static bool Valid(std::string_view text) {
        JsonCheck check(text);
        return check.Value() && (check.SkipSpace(), check.at_ == text.size());
    }

  private:
    explicit JsonCheck(std::string_view text) : text_(text) {}

    bool Value() {
        SkipSpace();
        if (at_ >= text_.size()) return false;
        switch (text_[at_]) {
            case '{':
                return Members('}', true);
            case '[':
                return Members(']', false);
            case '"':
                return String();
            case 't':
                return Word("true");
            case 'f':
                return Word("false");
            case 'n':
                return Word("null");
            default:
                return Number();
        }
    }

    // An object's members or an array's elements, up to the closing bracket.
    bool Members(char close, bool named) {
        ++at_;
        SkipSpace();
        if (Take(close)) return true;
        do {
            SkipSpace();
            if (named && !(String() && (SkipSpace(), Take(':')))) return false;
            if (!Value()) return false;
            SkipSpace();
        } while (Take(','));
        return Take(close);
    }

    bool String() {
        if (!Take('"')) return false;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (at_ >= text_.size()) return false;
                const char e = text_[at_++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        if (at_ >= text_.size()) return false;
                        if (!std::isxdigit(static_cast<unsigned char>(text_[at_++]))) return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            } else if (c >= 0x80 && !Utf8Tail(c)) {
                return false;
            }
        }
        return false;
    }

    // The continuation bytes after lead byte c, for the shortest forms of U+0080..U+10FFFF.
    bool Utf8Tail(unsigned char c) {
        const int more = c >= 0xC2 && c <= 0xDF   ? 1
                         : c >= 0xE0 && c <= 0xEF ? 2
                         : c >= 0xF0 && c <= 0xF4 ? 3
                                                  : -1;
        if (more < 0 || at_ + more > text_.size()) return false;
        const auto next = static_cast<unsigned char>(text_[at_]);
        if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next > 0x9F) ||
            (c == 0xF0 && next < 0x90) || (c == 0xF4 && next > 0x8F)) {
            return false;
        }
        for (int i = 0; i < more; ++i) {
            if ((static_cast<unsigned char>(text_[at_++]) & 0xC0) != 0x80) return false;
        }
        return true;
    }

    bool Number() {
        Take('-');
        if (!Take('0') && !Digits()) return false;
        if (Take('.') && !Digits()) return false;
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        return true;
    }

    bool Digits() {
        const size_t start = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
        return at_ > start;
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Take(char c) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }

    void SkipSpace() {
        while (at_ < text_.size() &&
               std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
    }

    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace kq::test
