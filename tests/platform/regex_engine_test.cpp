#include "platform/regex_engine.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm {
namespace {

RegexEngine Engine(std::u16string pattern, bool global = true) {
  RegexEngine engine;
  engine.SetPattern(std::move(pattern));
  engine.SetGlobal(global);
  return engine;
}

TEST(RegexEngineTest, FirstIndexCountsUtf16Units) {
  // U+1F600 takes two units, 中 one.
  const auto matches = Engine(u"a").Execute(u"\U0001F600\u4e2da a");
  ASSERT_TRUE(matches);
  ASSERT_EQ(matches->size(), 2u);
  EXPECT_EQ((*matches)[0].firstIndex, 3);
  EXPECT_EQ((*matches)[1].firstIndex, 5);
}

TEST(RegexEngineTest, EmptyMatchesAdvanceOneUnit) {
  const auto matches = Engine(u"a*?").Execute(u"aa");
  ASSERT_TRUE(matches);
  std::vector<std::int32_t> starts;
  for (const RegexMatch& m : *matches) starts.push_back(m.firstIndex);
  EXPECT_EQ(starts, (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(Engine(u"x*").Replace(u"ab", u"-"), u"-a-b-");
}

TEST(RegexEngineTest, ReplacementMarkers) {
  struct Case {
    std::u16string replacement;
    std::u16string result;
  };
  // (a)(b)(c)(d)(e)(f)(g)(h)(i)(j) over "<abcdefghij>"
  const RegexEngine engine = Engine(u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)");
  for (const Case& c : std::vector<Case>{
           {u"[$1$10]", u"<[aj]>"},
           {u"[$11]", u"<[a1]>"},   // no group 11: group 1, then "1"
           {u"[$0$x$]", u"<[$0$x$]>"},
           {u"[$$1]", u"<[$1]>"},
           {u"[$&]", u"<[abcdefghij]>"},
           {u"[$`|$']", u"<[<|>]>"},
       }) {
    EXPECT_EQ(engine.Replace(u"<abcdefghij>", c.replacement), c.result);
  }
  EXPECT_EQ(Engine(u"(x)?y").Replace(u"y", u"[$1]"), u"[]");
}

TEST(RegexEngineTest, InvalidPatternGivesNothing) {
  EXPECT_FALSE(Engine(u"[a").Execute(u"a"));
  EXPECT_FALSE(Engine(u"[a").Replace(u"a", u"b"));
}

TEST(RegexEngineTest, SinglelineSwitchChangesNothing) {
  RegexEngine engine = Engine(u"a.b");
  engine.SetSingleline(true);
  EXPECT_EQ(engine.Execute(u"a\nb")->size(), 0u);
}

}  // namespace
}  // namespace qm
