#include "l10n/text.h"

#include <gtest/gtest.h>

namespace kq::text {
namespace {

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("plain ASCII"));
    EXPECT_TRUE(IsValidUtf8("简体中文 é \xF0\x9F\x98\x80"));
}

TEST(Utf8, RejectsMalformedText) {
    EXPECT_FALSE(IsValidUtf8("\xD6\xD0\xCE\xC4"));  // GB18030 "中文"
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));          // cut short
    EXPECT_FALSE(IsValidUtf8("\x80"));              // lone continuation byte
}

TEST(Utf8, CutNeverSplitsACharacter) {
    const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
    const size_t boundaries[] = {0, 1, 3, 6, 10, 11};
    for (size_t limit = 0; limit <= text.size() + 1; ++limit) {
        const std::string_view cut = CutUtf8(text, limit);
        EXPECT_TRUE(IsValidUtf8(cut)) << "limit " << limit;
        EXPECT_LE(cut.size(), limit);
        size_t expected = 0;
        for (size_t b : boundaries) {
            if (b <= limit) expected = b;
        }
        EXPECT_EQ(cut.size(), expected) << "limit " << limit;
    }
}

TEST(Gb18030, ConvertsBothWays) {
    EXPECT_EQ(Gb18030ToUtf8("\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4"), "简体中文");
    EXPECT_EQ(Utf8ToGb18030("简体中文"), "\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4");
    EXPECT_EQ(Gb18030ToUtf8("\x94\x39\xFC\x36"), "\xF0\x9F\x98\x80");  // four-byte form
    EXPECT_EQ(Gb18030ToUtf8("ok"), "ok");
}

TEST(Gb18030, ReplacesBytesThatStartNoCharacter) {
    EXPECT_EQ(Gb18030ToUtf8("a\xFF"
                            "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Gb18030ToUtf8("a\xD6"), "a\xEF\xBF\xBD");  // cut short at the end
}

TEST(Names, MatchWithoutRegardToAsciiCase) {
    EXPECT_TRUE(EqualsNoCase("Solution", "sOLUTION"));
    EXPECT_FALSE(EqualsNoCase("Solution", "Solutions"));
    EXPECT_TRUE(EqualsNoCase("中文", "中文"));
    EXPECT_EQ(TrimBlanks(" \t a b \t"), "a b");
    EXPECT_EQ(TrimBlanks(" \t "), "");
}

}  // namespace
}  // namespace kq::text
