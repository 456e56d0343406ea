#include "platform/text.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

struct FindCase {
  const char* text;
  const char* needle;
  int start;
  bool ignoreCase;
  int expected;
};

class FindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindTest, GivesOneBasedPositionOrMinusOne) {
  const FindCase& c = GetParam();
  EXPECT_EQ(Find(c.text, c.needle, c.start, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FindTest, ::testing::Values(
    FindCase{"abcabc", "bc", 1, false, 2},
    FindCase{"abcabc", "bc", 3, false, 5},
    FindCase{"abcabc", "bc", 0, false, 2},
    FindCase{"abcabc", "bc", -5, false, 2},
    FindCase{"abcabc", "bc", 7, false, -1},          // beyond the end
    FindCase{"abcabc", "BC", 1, false, -1},
    FindCase{"abcabc", "BC", 1, true, 2},
    FindCase{"a[b", "{", 1, true, -1},                // only letters fold: '[' is not '{'
    FindCase{"\xB0x" "x", "x", 1, false, 3},          // never at the second byte of a character
    FindCase{"\xD6\xD0" "ab", "ab", 1, false, 3},     // 中ab
    FindCase{"\xD6\xD0\xD6\xD0", "\xD0\xD6", 1, false, -1},  // straddles two characters
    FindCase{"abc", "", 1, false, 1},                 // empty needle: position 1 while text remains
    FindCase{"abc", "", 3, false, 1},
    FindCase{"abc", "", 4, false, -1},
    FindCase{"", "a", 1, false, -1}));

TEST(TextTest, FindFromTheMiddleOfACharacterStepsToTheNextOne) {
  // Start at byte 2, the second byte of 中; the 'x' there must not match.
  EXPECT_EQ(Find("\xD6x" "x", "x", 2), 3);
}

TEST(TextTest, LeftRightMidCutByBytes) {
  EXPECT_EQ(Left("abc", 0), "");
  EXPECT_EQ(Left("abc", -1), "");
  EXPECT_EQ(Left("abc", 2), "ab");
  EXPECT_EQ(Left("abc", 9), "abc");
  EXPECT_EQ(Right("abc", 2), "bc");
  EXPECT_EQ(Right("abc", 9), "abc");
  EXPECT_EQ(Right("abc", 0), "");
  EXPECT_EQ(Left("\xD6\xD0" "a", 1), "\xD6");  // splits the character
  EXPECT_EQ(Mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Mid("abcdef", 5), "ef");
  EXPECT_EQ(Mid("abcdef", 9, 2), "");
}

TEST(TextTest, SplitKeepsInnerAndLeadingEmptyPiecesAndDropsTheTrailingOne) {
  using V = std::vector<Text>;
  EXPECT_EQ(Split("", ";"), V{});
  EXPECT_EQ(Split("a", ";"), V{"a"});
  EXPECT_EQ(Split("a;b", ";"), (V{"a", "b"}));
  EXPECT_EQ(Split(";a;;b;", ";"), (V{"", "a", "", "b"}));
  EXPECT_EQ(Split(";", ";"), (V{""}));
  EXPECT_EQ(Split("a\r\n\r\nb", "\r\n"), (V{"a", "", "b"}));
  // A separator byte inside a double-byte character does not split it.
  EXPECT_EQ(Split("\xB0;x;y", ";"), (V{"\xB0;x", "y"}));
}

TEST(TextTest, ReplaceEveryOccurrenceWithoutOverlap) {
  EXPECT_EQ(Replace("aaaa", "aa", "b"), "bb");
  EXPECT_EQ(Replace("aXbxc", "x", "-", true), "a-b-c");
  EXPECT_EQ(Replace("aXbxc", "x", "-"), "aXb-c");
  EXPECT_EQ(Replace("abc", "", "-"), "abc");
  EXPECT_EQ(Replace("Set-Cookie: a=1", "set-cookie:", "", true), " a=1");
  EXPECT_EQ(Replace("\xB0x" "x", "x", "y"), "\xB0x" "y");
}

TEST(TextTest, TrimRemovesOnlySpacesAndFullWidthSpaces) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("\xA1\xA1 a \xA1\xA1"), "a");
  EXPECT_EQ(Trim("\ta\n"), "\ta\n");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  // The last character B0 A1 followed by a lone A1 is not a full-width space.
  EXPECT_EQ(Trim("x\xB0\xA1\xA1"), "x\xB0\xA1\xA1");
}

}  // namespace
}  // namespace qm
