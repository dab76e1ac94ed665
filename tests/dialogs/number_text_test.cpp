#include "dialogs/number_text.h"

#include <gtest/gtest.h>

namespace kq {
namespace {

TEST(NumberText, ParseUnsignedWantsTheWholeText) {
    EXPECT_EQ(ParseUnsigned("100"), 100u);
    EXPECT_EQ(ParseUnsigned(" 7 "), 7u);
    EXPECT_EQ(ParseUnsigned("+7"), 7u);
    EXPECT_EQ(ParseUnsigned("007"), 7u);
    EXPECT_EQ(ParseUnsigned(""), std::nullopt);
    EXPECT_EQ(ParseUnsigned(" "), std::nullopt);
    EXPECT_EQ(ParseUnsigned("12a"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("1 2"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("-1"), std::nullopt);
    EXPECT_EQ(ParseUnsigned("\xEF\xBC\x97"), std::nullopt);  // a full-width 7
    EXPECT_EQ(ParseUnsigned("99999999999"), 4294967295u);
}

TEST(NumberText, FillPlacesReplacesEachPlace) {
    EXPECT_EQ(FillPlaces("from %1 to %2.", "0", "100"), "from 0 to 100.");
    EXPECT_EQ(FillPlaces("%1, again %1", "x"), "x, again x");
    EXPECT_EQ(FillPlaces("no place", "x"), "no place");
    EXPECT_EQ(FillPlaces("%1", "%1%1"), "%1%1") << "a value is never filled in again";
    EXPECT_EQ(FillPlaces("%1", "%2", "x"), "%2");
    EXPECT_EQ(FillPlaces("%3 %1 %2 %4", {"a", "b", "c"}), "c a b %4") << "no value: stays";
    EXPECT_EQ(FillPlaces("100%", {"a"}), "100%");
}

}  // namespace
}  // namespace kq
