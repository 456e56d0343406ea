#include "script/regex_object.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/codepage.h"

namespace qm {
namespace {

struct CountCase {
  const char* name;
  Text pattern;
  Text subject;
  std::optional<bool> caseSensitive;
  std::optional<bool> multiline;
  std::optional<bool> global;
  bool compiled;
  std::int32_t count;
};

class RegexCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(RegexCountTest, CompilesAndCounts) {
  const CountCase& c = GetParam();
  RegexObject regex;
  EXPECT_EQ(regex.Compile(c.pattern, c.subject, c.caseSensitive, c.multiline, c.global), c.compiled);
  EXPECT_EQ(regex.GetMatchCount(), c.count);
}

const auto kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(Cases, RegexCountTest, ::testing::Values(
    CountCase{"CaseIgnoredByDefault", "ab", "AB ab", kNone, kNone, kNone, true, 2},
    CountCase{"CaseSensitive", "ab", "AB ab", true, kNone, kNone, true, 1},
    CountCase{"NotGlobal", "ab", "AB ab", kNone, kNone, false, true, 1},
    CountCase{"NoMatchStillCompiles", "xyz", "AB ab", kNone, kNone, kNone, true, 0},
    CountCase{"InvalidPattern", "(", "AB ab", kNone, kNone, kNone, false, 0},
    CountCase{"InvalidQuantifier", "a**", "aaa", kNone, kNone, kNone, false, 0},
    CountCase{"MultilineByDefault", "^b", "a\nb", kNone, kNone, kNone, true, 1},
    CountCase{"MultilineOff", "^b", "a\nb", kNone, false, kNone, true, 0},
    CountCase{"DollarOnlyAtTheEndWithoutMultiline", "b$", "ab\n", kNone, false, kNone, true, 0},
    CountCase{"DotSkipsLineFeed", "a.b", "a\nb", kNone, kNone, kNone, true, 0},
    CountCase{"DotTakesCarriageReturn", "a.b", "a\rb", kNone, kNone, kNone, true, 1},
    CountCase{"AnyCharacterClass", "a[\\s\\S]b", "a\nb", kNone, kNone, kNone, true, 1},
    CountCase{"EmptyNegatedClassIsAnyCharacter", "a[^]b", "a\nb", kNone, kNone, kNone, true, 1},
    CountCase{"LazyQuantifier", "<b>([\\s\\S]*?)</b>", "<b>1</b>\n<b>2</b>", kNone, kNone, kNone, true, 2},
    CountCase{"EscapedSlash", "\\/file\\/", "https://x/file/?a", kNone, kNone, kNone, true, 1},
    CountCase{"UnicodeEscape", "\\u4e2d", "\xD6\xD0", kNone, kNone, kNone, true, 1},  // 中
    // 文件 twice, as whole characters
    CountCase{"DoubleByteText", "\xCE\xC4\xBC\xFE", "\xCE\xC4\xBC\xFE \xCE\xC4\xBC\xFE", kNone, kNone, kNone, true, 2},
    CountCase{"EmptyMatchesMoveOn", "x*", "ab", kNone, kNone, kNone, true, 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
  const char* name;
  Text pattern;
  Text subject;
  std::optional<bool> caseSensitive;
  std::int32_t matchIndex;
  std::int32_t groupIndex;  // 0: the whole match through GetMatchText
  Text text;
  std::int32_t position;
};

class RegexTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(RegexTextTest, GivesTextAndBytePosition) {
  const TextCase& c = GetParam();
  RegexObject regex;
  regex.Compile(c.pattern, c.subject, c.caseSensitive);
  std::int32_t position = 12345;
  const Text text = c.groupIndex == 0 ? regex.GetMatchText(c.matchIndex, &position)
                                      : regex.GetSubmatchText(c.matchIndex, c.groupIndex, &position);
  EXPECT_EQ(text, c.text);
  EXPECT_EQ(position, c.position);
  // Without the out-parameter the text is the same.
  EXPECT_EQ(c.groupIndex == 0 ? regex.GetMatchText(c.matchIndex) : regex.GetSubmatchText(c.matchIndex, c.groupIndex),
            c.text);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegexTextTest, ::testing::Values(
    TextCase{"SecondMatch", "ab", "ab ab", kNone, 2, 0, "ab", 3},
    // 中ab: the match starts at wide character 1 but at byte 2.
    TextCase{"BytesAfterDoubleByteCharacter", "ab", "\xD6\xD0" "ab", kNone, 1, 0, "ab", 2},
    // 中中AB ab: the search from the match start compares exactly when the
    // regex ignores case, and ignores case when the regex does not.
    TextCase{"CaseIgnoredSearchIsExact", "ab", "\xD6\xD0\xD6\xD0" "AB ab", kNone, 2, 0, "ab", 7},
    TextCase{"CaseSensitiveSearchIgnoresCase", "ab", "\xD6\xD0\xD6\xD0" "AB ab", true, 1, 0, "ab", 4},
    TextCase{"MatchIndexZero", "ab", "ab", kNone, 0, 0, "", 0},
    TextCase{"MatchIndexBeyondCount", "ab", "ab", kNone, 2, 0, "", 0},
    TextCase{"NothingToSearchIn", "x*", "", kNone, 1, 0, "", -2},
    TextCase{"InvalidPatternGivesEmpty", "(", "abc", kNone, 1, 0, "", 0},
    TextCase{"Group", "x(b)", "ab xb", kNone, 1, 1, "b", 4},
    TextCase{"GroupSearchedFromTheMatchStart", "b(a)", "a ba", kNone, 1, 1, "a", 3},
    TextCase{"GroupThatTookNoPart", "(a)|(b)", "a", kNone, 1, 2, "", 0},
    TextCase{"GroupIndexBeyondCount", "(a)", "a", kNone, 1, 2, "", 0},
    TextCase{"GroupOfMissingMatch", "(a)", "a", kNone, 2, 1, "", 0},
    // 文件名：setup.zip<br>
    TextCase{"DoubleByteGroup", "\xC3\xFB\xA3\xBA([\\s\\S]*?)<br>",
             "\xCE\xC4\xBC\xFE\xC3\xFB\xA3\xBAsetup.zip<br>", kNone, 1, 1, "setup.zip", 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegexObjectTest, QuotePlaceholderStandsForADoubleQuote) {
  const Text pattern = "a#\xD2\xFD\xBA\xC5" "b";  // a#引号b
  RegexObject regex;
  EXPECT_TRUE(regex.Compile(pattern, "a\"b", std::nullopt, std::nullopt, std::nullopt, true));
  EXPECT_EQ(regex.GetPattern(), "a\"b");
  EXPECT_EQ(regex.GetMatchCount(), 1);

  EXPECT_TRUE(regex.Compile(pattern, "a\"b", std::nullopt, std::nullopt, std::nullopt, false));
  EXPECT_EQ(regex.GetPattern(), pattern);
  EXPECT_EQ(regex.GetMatchCount(), 0);
}

TEST(RegexObjectTest, BeforeAnyCompileEverythingIsEmpty) {
  RegexObject regex;
  std::int32_t position = 0;
  EXPECT_EQ(regex.GetPattern(), "");
  EXPECT_EQ(regex.ReplaceMatches("x"), "");
  EXPECT_EQ(regex.GetMatchCount(), 0);
  EXPECT_EQ(regex.GetMatchText(1, &position), "");
  EXPECT_EQ(position, -2);
  EXPECT_EQ(regex.GetSubmatchText(1, 1), "");
  EXPECT_EQ(regex.GetSubmatchCount(), 0);
}

TEST(RegexObjectTest, SubmatchCountComesFromTheFirstMatch) {
  RegexObject regex;
  regex.Compile("(a)(b)?", "a ab");
  EXPECT_EQ(regex.GetSubmatchCount(), 2);
  EXPECT_EQ(regex.GetSubmatchText(1, 2), "");
  EXPECT_EQ(regex.GetSubmatchText(2, 2), "b");
  regex.Compile("(a)(b)?", "xyz");
  EXPECT_EQ(regex.GetSubmatchCount(), 0);
  regex.Compile("((", "xyz");
  EXPECT_EQ(regex.GetSubmatchCount(), 0);
}

TEST(RegexObjectTest, ReplaceMatchesFollowsTheGlobalSwitch) {
  RegexObject regex;
  regex.Compile("a(b)", "ab AB");
  EXPECT_EQ(regex.ReplaceMatches("[$1]"), "[b] [B]");
  EXPECT_EQ(regex.ReplaceMatches(), " ");
  regex.Compile("a(b)", "ab AB", std::nullopt, std::nullopt, /*global=*/false);
  EXPECT_EQ(regex.ReplaceMatches("[$&]"), "[ab] AB");
  // 中 replaced, the rest kept
  regex.Compile("\xD6\xD0", "\xD6\xD0" "a\xD6\xD0");
  EXPECT_EQ(regex.ReplaceMatches("\xCE\xC4"), "\xCE\xC4" "a\xCE\xC4");
  regex.Compile("(", "abc");
  EXPECT_EQ(regex.ReplaceMatches("x"), "");
}

TEST(RegexObjectTest, CopySharesTheStateOfItsTime) {
  RegexObject regex;
  regex.Compile("a", "a a");
  const RegexObject copy = regex;
  regex.Compile("b", "b");
  EXPECT_EQ(copy.GetMatchCount(), 2);
  EXPECT_EQ(copy.GetPattern(), "a");
  std::int32_t position = 0;
  EXPECT_EQ(copy.GetMatchText(2, &position), "a");
  EXPECT_EQ(position, 2);
  EXPECT_EQ(regex.GetMatchCount(), 1);
}

TEST(RegexObjectTest, RunawayMatchingEndsAsAFailedCompile) {
  // Nested quantifiers on a subject that almost matches: exponential work
  // without a bound.
  RegexObject regex;
  EXPECT_FALSE(regex.Compile("^(a+)+$", std::string(40, 'a') + "!"));
  EXPECT_EQ(regex.GetMatchCount(), 0);
  // The object stays usable.
  EXPECT_TRUE(regex.Compile("a", "a"));
  EXPECT_EQ(regex.GetMatchCount(), 1);
}

}  // namespace
}  // namespace qm
