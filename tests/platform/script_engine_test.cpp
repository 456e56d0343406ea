#include "platform/script_engine.h"

#include <gtest/gtest.h>

#include <vector>

namespace qm {
namespace {

std::unique_ptr<ScriptEngine> NewEngine(std::size_t heapLimit = ScriptEngine::kDefaultHeapLimit) {
  auto engine = ScriptEngine::Create(heapLimit);
  EXPECT_NE(engine, nullptr);
  return engine;
}

TEST(ScriptEngineTest, ResultsReadAsText) {
  auto engine = NewEngine();
  struct Case {
    Text source;
    Text text;
  };
  for (const Case& c : std::vector<Case>{
           {"'abc'", "abc"},
           {"true", "-1"},
           {"false", "0"},
           {"undefined", ""},
           {"null", ""},
           {"1/3", "0.3333333333333"},
           {"-2.5", "-2.5"},
           {"1e21", "1e+21"},
           {"0/0", "NaN"},
           {"-1/0", "-Infinity"},
           {"[1,'a']", "1,a"},
           {"({toString: function () { return 'mine'; }})", "mine"},
           {"var v = 4; v * 2", "8"},
           {"Symbol('s')", ""},
       }) {
    bool ok = false;
    EXPECT_EQ(engine->EvalText(c.source, &ok), c.text) << c.source;
    EXPECT_TRUE(ok) << c.source;
  }
}

TEST(ScriptEngineTest, ResultsReadAsNumbersAndBooleans) {
  auto engine = NewEngine();
  struct Case {
    Text source;
    double number;
  };
  for (const Case& c : std::vector<Case>{
           {"2.5", 2.5}, {"'12'", 12}, {"'x'", 0}, {"null", 0}, {"undefined", 0}, {"true", -1}, {"({})", 0}}) {
    EXPECT_EQ(engine->EvalNumber(c.source), c.number) << c.source;
  }
  EXPECT_TRUE(engine->EvalBoolean("1 == 1"));
  EXPECT_FALSE(engine->EvalBoolean("null != null"));
}

TEST(ScriptEngineTest, FailuresGiveEmptyValues) {
  auto engine = NewEngine();
  for (const Text& source : {Text("(("), Text("missingName"), Text("null.x"), Text("throw 'x'")}) {
    bool ok = true;
    EXPECT_EQ(engine->EvalText(source, &ok), "") << source;
    EXPECT_FALSE(ok) << source;
    EXPECT_EQ(engine->EvalNumber(source, &ok), 0) << source;
    EXPECT_FALSE(engine->EvalBoolean(source, &ok)) << source;
    EXPECT_FALSE(engine->Eval(source)) << source;
    EXPECT_FALSE(engine->AddCode(source)) << source;
  }
  // Only reading it as text fails.
  bool ok = true;
  EXPECT_EQ(engine->EvalText("({toString: function () { throw 1; }})", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(engine->EvalText("'still here'"), "still here");
}

TEST(ScriptEngineTest, DeclarationsStayGlobal) {
  auto engine = NewEngine();
  EXPECT_TRUE(engine->AddCode("function twice(x) { return 2 * x; } var base = 20;"));
  EXPECT_TRUE(engine->Eval("var more = twice(base) + 1"));
  EXPECT_EQ(engine->EvalText("more"), "41");
}

TEST(ScriptEngineTest, HasNoBuiltInJson) {
  auto engine = NewEngine();
  EXPECT_EQ(engine->EvalText("typeof JSON"), "undefined");
  EXPECT_EQ(engine->EvalText("typeof Date.prototype.toJSON"), "undefined");
}

TEST(ScriptEngineTest, TextsCrossExactly) {
  auto engine = NewEngine();
  const Text wide = "\xD6\xD0\xCE\xC4";  // 中文
  EXPECT_EQ(engine->EvalText("'" + wide + "'"), wide);
  EXPECT_EQ(engine->EvalText("'" + wide + "'.length"), "2");
  EXPECT_EQ(engine->EvalText("'\\u4e2d'"), "\xD6\xD0");
  // Outside the code page: the stand-in character.
  EXPECT_EQ(engine->EvalText("'\\u0e01\\ud83d\\ude00'"), "??");
}

TEST(ScriptEngineTest, CallWithTextPassesDataNotCode) {
  auto engine = NewEngine();
  const Text argument = "1+1'\"\\\n\xD6\xD0";
  EXPECT_TRUE(engine->CallWithText("(function (t) { got = t; kind = typeof t; })", argument));
  EXPECT_EQ(engine->EvalText("got"), argument);
  EXPECT_EQ(engine->EvalText("kind"), "string");
  EXPECT_EQ(engine->EvalText("got.length"), "8");
  EXPECT_FALSE(engine->CallWithText("(function (t) { throw t; })", "x"));
  EXPECT_FALSE(engine->CallWithText("42", "x"));
}

TEST(ScriptEngineTest, RunningOutOfHeapFailsTheEvaluationOnly) {
  constexpr std::size_t kLimit = std::size_t{8} << 20;
  auto engine = NewEngine(kLimit);
  EXPECT_FALSE(engine->Eval("var s = 'x'; while (true) s += s;"));
  EXPECT_LE(engine->HeapInUse(), kLimit);
  EXPECT_TRUE(engine->Eval("s = null"));
  EXPECT_EQ(engine->EvalText("1 + 1"), "2");
  EXPECT_FALSE(engine->CallWithText("(function (t) { var a = []; for (;;) a.push(t + a.length); })", "y"));
  EXPECT_EQ(engine->EvalText("'ok'"), "ok");
}

TEST(ScriptEngineTest, TooSmallAHeapMakesNoEngine) { EXPECT_EQ(ScriptEngine::Create(1024), nullptr); }

TEST(ScriptEngineTest, FatalErrorLeavesTheProcessAndDropsTheEngine) {
  auto engine = NewEngine();
  EXPECT_TRUE(engine->Eval("var big = new Array(1000).join('x')"));
  EXPECT_GT(engine->HeapInUse(), 0u);
  engine->RaiseFatalErrorForTesting();
  EXPECT_FALSE(engine->IsUsable());
  EXPECT_EQ(engine->HeapInUse(), 0u);
  bool ok = true;
  EXPECT_EQ(engine->EvalText("1", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_FALSE(engine->CallWithText("(function (t) {})", "x"));
  // Other engines are untouched.
  EXPECT_EQ(NewEngine()->EvalText("1 + 2"), "3");
}

}  // namespace
}  // namespace qm
