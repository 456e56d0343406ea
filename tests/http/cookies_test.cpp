#include "http/cookies.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

struct MergeCase {
  Text oldCookies;
  Text newCookies;
  Text merged;
};

class MergeCookiesTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeCookiesTest, MergesIntoBothResults) {
  const MergeCase& c = GetParam();
  Text oldCookies = c.oldCookies;
  Text newCookies = c.newCookies;
  EXPECT_EQ(MergeCookies(oldCookies, newCookies), c.merged);
  EXPECT_EQ(oldCookies, c.merged);
  EXPECT_EQ(newCookies, Trim(c.newCookies));
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeCookiesTest, ::testing::Values(
    MergeCase{"a=1; b=2", "b=3; c=4", "b=3; c=4;a=1"},
    MergeCase{"a=1; b=2", "b=deleted", "a=1"},       // the marker's name hides the old b
    MergeCase{"", "x=1", "x=1"},
    MergeCase{"a=1", "", "a=1"},
    MergeCase{"", "", ""},
    MergeCase{"", "a=1;a=1", "a=1"},                 // exact repeat
    MergeCase{"", "a=1; a=1", "a=1; a=1"},           // ' a=1' differs by its space
    MergeCase{"a=1;;b=2", "c=3", "c=3;a=1;;b=2"},    // the empty piece has the empty name
    MergeCase{"  a=1 ", "b=2", "b=2;a=1"},
    MergeCase{"a=1;", "b=2;", "b=2;a=1"},            // a final ";" adds no piece
    MergeCase{"A=1", "a=2", "a=2;A=1"},              // names keep their case
    MergeCase{"", "=deleted", ""},
    MergeCase{"x=1", " x=deleted", ""},              // trimmed first, so the piece is 'x=deleted'
    MergeCase{"", "a=1; x=deleted", "a=1"},
    MergeCase{"", "x=deletedx", "x=deletedx"},
    MergeCase{"flag=1", "flag", "flag"},             // a piece without "=" is its own name
    MergeCase{"", "b=deleted; c=4", " c=4"},         // keeps the space the next piece carried
    MergeCase{"a=1; a=2", "b=1", "b=1;a=1"},         // the first old a wins, the second is hidden by it
    MergeCase{"\xA1\xA1k=\xC4\xE3\xA1\xA1", "", "k=\xC4\xE3"},  // full-width spaces trimmed: '　k=你　'
    MergeCase{"a=1", "a=1;;;", "a=1;"}));             // one empty piece kept, later ones are repeats

TEST(CookieRoutinesTest, NamesAndLookups) {
  EXPECT_EQ(CookieName(" b=2"), "b");
  EXPECT_EQ(CookieName("a=b=c"), "a");
  EXPECT_EQ(CookieName(" flag "), "flag");
  EXPECT_EQ(CookieName(""), "");
  EXPECT_EQ(CookieName("=x"), "");

  const std::vector<Text> list = {"a=1", " b=2", ""};
  EXPECT_TRUE(HasCookieName(list, "b"));
  EXPECT_TRUE(HasCookieName(list, ""));
  EXPECT_FALSE(HasCookieName(list, "B"));
  EXPECT_FALSE(HasCookieName({}, ""));

  EXPECT_EQ(IndexOfText(list, " b=2"), 2);
  EXPECT_EQ(IndexOfText(list, "b=2"), -1);
  EXPECT_EQ(IndexOfText(list, ""), 3);
  EXPECT_EQ(IndexOfText({"x", "x"}, "x"), 1);
  EXPECT_EQ(IndexOfText({}, ""), -1);
}

TEST(CookieRoutinesTest, JoinDistinctKeepsFirstOccurrences) {
  EXPECT_EQ(JoinDistinct("a;b;a;c;b", ";"), "a;b;c");
  EXPECT_EQ(JoinDistinct(";;a;;", ";"), ";a");
  EXPECT_EQ(JoinDistinct("a, b, a", ", "), "a, b");
  EXPECT_EQ(JoinDistinct("", ";"), "");
  EXPECT_EQ(JoinDistinct("abc", ";"), "abc");
}

}  // namespace
}  // namespace qm
