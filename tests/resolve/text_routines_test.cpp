#include "resolve/text_routines.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace qm {
namespace {

struct BetweenCase {
  Text text;
  Text start;
  Text end;
  std::int32_t startPosition;
  bool ignoreCase;
  Text expected;
};

class TextBetweenTest : public ::testing::TestWithParam<BetweenCase> {};

TEST_P(TextBetweenTest, CutsBetweenTheFirstMarkers) {
  const BetweenCase& c = GetParam();
  EXPECT_EQ(TextBetween(c.text, c.start, c.end, c.startPosition, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextBetweenTest, ::testing::Values(
    BetweenCase{Cp936("<b>文件名字：</span>setup.zip<br>"), Cp936("文件名字：</span>"), "<br>", 0, false, "setup.zip"},
    // 'id=#引号' and '#引号' stand for id=" and "
    BetweenCase{"id=\"42\"", "id=#\xD2\xFD\xBA\xC5", "#\xD2\xFD\xBA\xC5", 0, false, "42"},
    BetweenCase{"aXbXc", "X", "X", 0, false, "b"},
    BetweenCase{"a[1]b[2]", "[", "]", 0, false, "1"},
    BetweenCase{"]a[", "[", "]", 0, false, ""},                 // end marker only before the start
    BetweenCase{"abc", "[", "]", 0, false, ""},                 // start marker missing
    BetweenCase{"a[]b", "[", "]", 0, false, ""},                // markers adjacent
    BetweenCase{"location: x\r\n", "Location: ", "\r\n", 0, false, ""},
    BetweenCase{"location: x\r\n", "Location: ", "\r\n", 0, true, "x"},
    BetweenCase{"[a][b]", "[", "]", 1, false, "a"},
    BetweenCase{"[a][b]", "[", "]", -5, false, "a"},
    BetweenCase{"[a][b]", "[", "]", 2, false, "b"},
    BetweenCase{"[a][b]", "[", "]", 7, false, ""},              // one past the last byte
    // 'x' is the second byte of the character B0 78; the first real x follows it.
    BetweenCase{"\xB0x" "x1y", "x", "y", 0, false, "1"},
    BetweenCase{"ab]", "", "]", 0, false, "ab"},                // empty start marker: from the first byte
    BetweenCase{"ab]", "a", "", 0, false, ""}));                // empty end marker: always empty

struct BeforeCase {
  Text text;
  Text marker;
  std::int32_t start;
  bool ignoreCase;
  Text expected;
};

class TextBeforeTest : public ::testing::TestWithParam<BeforeCase> {};

TEST_P(TextBeforeTest, GivesTheBytesBeforeTheMarker) {
  const BeforeCase& c = GetParam();
  EXPECT_EQ(TextBefore(c.text, c.marker, c.start, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextBeforeTest, ::testing::Values(
    BeforeCase{"a.b[2].c[1]", "[", 1, false, "a.b"},
    BeforeCase{"Set-Cookie: a=1", ": ", 1, false, "Set-Cookie"},
    BeforeCase{"abc", "[", 1, false, ""},          // no marker
    BeforeCase{"[1]", "[", 1, false, ""},          // marker first
    BeforeCase{"a[b[c", "[", 3, false, "a[b"},     // counted from the beginning, not from start
    BeforeCase{"a[b", "[", -4, false, "a"},        // below 1 means 1
    BeforeCase{"a[b", "[", 4, false, ""},          // beyond the end
    BeforeCase{"xAbc", "ab", 1, true, "x"},
    BeforeCase{"xAbc", "ab", 1, false, ""},
    // B0 5B is one character; the first real "[" follows it.
    BeforeCase{"\xB0[[x", "[", 1, false, "\xB0["}));

TEST(TextRoutinesTest, Utf8ToLocalTextConvertsAndStopsAtAZeroCharacter) {
  EXPECT_EQ(Utf8ToLocalText({}), "");
  EXPECT_EQ(Utf8ToLocalText({0xE6, 0x96, 0x87, 0xE4, 0xBB, 0xB6}), "\xCE\xC4\xBC\xFE");  // 文件
  EXPECT_EQ(Utf8ToLocalText({'a', 'b', 'c'}), "abc");
  EXPECT_EQ(Utf8ToLocalText({'a', 0, 'b'}), "a");
  EXPECT_EQ(Utf8ToLocalText({'a', 0xFF}), "a?");  // malformed: replaced, then not in the code page
}

TEST(TextRoutinesTest, CountOccurrencesIgnoresCaseUnlessAsked) {
  EXPECT_EQ(CountOccurrences("setup.ZIP.zip", ".zip"), 2);
  EXPECT_EQ(CountOccurrences("setup.ZIP.zip", ".zip", true), 1);
  EXPECT_EQ(CountOccurrences("aaaa", "aa"), 2);
  EXPECT_EQ(CountOccurrences("", "a"), 0);
  EXPECT_EQ(CountOccurrences("a", ""), 0);
  EXPECT_EQ(CountOccurrences("\xB0.zip", ".zip"), 0);  // B0 2E is one character
}

TEST(TextRoutinesTest, DropLastCharsCutsBytes) {
  EXPECT_EQ(DropLastChars("setup.zip", 4), "setup");
  EXPECT_EQ(DropLastChars("abc", 4), "");
  EXPECT_EQ(DropLastChars("abc", 3), "");
  EXPECT_EQ(DropLastChars("abc", 0), "abc");
  EXPECT_EQ(DropLastChars("abc", -2), "abc");
  EXPECT_EQ(DropLastChars("\xD6\xD0\xD6\xD0", 1), "\xD6\xD0\xD6");
}

}  // namespace
}  // namespace qm
