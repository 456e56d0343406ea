#include "script/json_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// a is the string b\/c (an escaped slash), n 2.5, t true, z null.
const Text kSample = R"({"a":"b\/c","n":2.5,"t":true,"z":null})";

JsonObject Parsed(const Text& text) {
  JsonObject json;
  EXPECT_TRUE(json.Parse(text)) << text;
  return json;
}

TEST(JsonObjectTest, StartsAndClearsAsAnEmptyObject) {
  JsonObject json;
  EXPECT_EQ(json.Stringify(), "{}");
  EXPECT_EQ(json.GetType(), kJsonObject);
  json.SetProperty("k", "v");
  json.Clear();
  EXPECT_EQ(json.Stringify(), "{}");
}

struct MemberCase {
  Text path;
  Text text;
  std::int32_t type;
};

TEST(JsonObjectTest, ReadsTheMembersOfTheSample) {
  JsonObject json = Parsed(kSample);
  for (const MemberCase& c : std::vector<MemberCase>{
           {"a", "b/c", kJsonString},
           {"n", "2.5", kJsonNumber},
           {"t", "-1", kJsonBoolean},
           {"z", "", kJsonNull},
           {"missing", "", kJsonNull},
       }) {
    EXPECT_EQ(json.GetProperty(c.path), c.text) << c.path;
    EXPECT_EQ(json.GetType(c.path), c.type) << c.path;
  }
  EXPECT_EQ(json.GetProperty("a", /*asJson=*/true), "\"b/c\"");
  EXPECT_EQ(json.GetPropertyJson("n"), "2.5");
  EXPECT_EQ(json.GetNumber("n"), 2.5);
  EXPECT_EQ(json.GetNumber("missing"), 0);
  EXPECT_EQ(json.Stringify(), R"({"a":"b/c","n":2.5,"t":true,"z":null})");
  // A path below a missing member makes the expressions fail.
  EXPECT_EQ(json.GetProperty("missing.x"), "");
  EXPECT_EQ(json.GetType("missing.x"), kJsonOther);
}

TEST(JsonObjectTest, NumbersReadAsTextHaveThirteenSignificantDigits) {
  JsonObject json = Parsed(R"({"a":0.30000000000000004,"b":1234567890.123456,"c":-1e21,"d":[5]})");
  EXPECT_EQ(json.GetProperty("a"), "0.3");
  EXPECT_EQ(json.GetProperty("b"), "1234567890.123");
  EXPECT_EQ(json.GetProperty("c"), "-1e+21");
  EXPECT_EQ(json.GetProperty("d[0]"), "5");
  EXPECT_EQ(json.GetProperty("a", /*asJson=*/true), "0.30000000000000004");
}

TEST(JsonObjectTest, ParseTakesJsonOnly) {
  struct Case {
    Text text;
    bool parsed;
    Text json;  // Stringify afterwards
  };
  for (const Case& c : std::vector<Case>{
           {"null", false, "null"},
           {"", false, "null"},
           {"this is not JSON", false, "null"},
           {"{\"a\":1", false, "null"},
           {"1+2", false, "null"},
           {"0", true, "0"},
           {"[1,\"x\",{\"y\":[]}]", true, "[1,\"x\",{\"y\":[]}]"},
           {" {\"a\" : [ 1 , 2 ] }\r\n", true, "{\"a\":[1,2]}"},
           // A JSON string is a string: its letters are not run.
           {"\"abc\"", true, "\"abc\""},
           {"\"1+2\"", true, "\"1+2\""},
           // 中文 in a string, and as an escape
           {"{\"s\":\"\xD6\xD0\\u6587\"}", true, "{\"s\":\"\xD6\xD0\xCE\xC4\"}"},
       }) {
    JsonObject json;
    EXPECT_EQ(json.Parse(c.text), c.parsed) << c.text;
    EXPECT_EQ(json.Stringify(), c.json) << c.text;
  }
}

TEST(JsonObjectTest, ParseNeverRunsTheText) {
  // Each would loop for ever, or change the engine, if it were run.
  const std::vector<Text> hostile = {
      "\"while(1){}\"",
      "{\"a\":1}); while(1){} (",
      "(function(){while(true){}})()",
      "{\"a\":(Object.prototype.hacked=1)}",
      "[1].concat(Object.prototype.hacked=1)",
      "1) + (Object.prototype.hacked = 1",
      "\"Object.prototype.hacked=1\"",
  };
  for (const Text& text : hostile) {
    JsonObject json;
    json.Parse(text);
    json.Clear();
    EXPECT_EQ(json.GetMemberCount("hacked"), -2) << text;
    EXPECT_FALSE(json.HasMember("hacked")) << text;
  }
  JsonObject json;
  EXPECT_TRUE(json.Parse("\"while(1){}\""));
  EXPECT_EQ(json.GetType(), kJsonString);
  EXPECT_EQ(json.Stringify(), "\"while(1){}\"");
}

TEST(JsonObjectTest, DeepNestingFailsWithoutHarm) {
  JsonObject json;
  EXPECT_FALSE(json.Parse(std::string(100000, '[') + std::string(100000, ']')));
  EXPECT_TRUE(json.Parse(std::string(100, '[') + std::string(100, ']')));
  EXPECT_EQ(json.GetMemberCount(), 1);
}

TEST(JsonObjectTest, TypeCodes) {
  JsonObject json = Parsed(R"({"o":{},"l":[],"s":"","f":false})");
  EXPECT_EQ(json.GetType("o"), kJsonObject);
  EXPECT_EQ(json.GetType("l"), kJsonArray);
  EXPECT_EQ(json.GetType("s"), kJsonString);
  EXPECT_EQ(json.GetType("f"), kJsonBoolean);
  json.SetPropertyCode("fn", "'(function () {})'");
  EXPECT_EQ(json.GetType("fn"), kJsonOther);
  // The value itself reads as an object even when it is an array.
  EXPECT_EQ(Parsed("[1]").GetType(), kJsonObject);
  EXPECT_EQ(Parsed("[1]").GetType(""), kJsonObject);
}

TEST(JsonObjectTest, BracketPathsJoinDifferentlyPerOperation) {
  JsonObject json = Parsed("[5]");
  EXPECT_EQ(json.GetProperty("[0]"), "5");      // bracket-aware
  EXPECT_EQ(json.GetType("[0]"), kJsonOther);   // plain: "da.[0]"
  EXPECT_EQ(json.GetNumber("[0]"), 0);
  JsonObject element = json.GetObject("[0]");
  EXPECT_EQ(element.Stringify(), "5");
}

TEST(JsonObjectTest, MemberCountsAndNames) {
  JsonObject json = Parsed(R"({"a":1,"b":{"x":1,"y":2,"z":3},"l":[7,8,9],"e":{}})");
  EXPECT_EQ(json.GetMemberCount(), 4);
  EXPECT_EQ(json.GetMemberCount("b"), 3);
  EXPECT_EQ(json.GetMemberCount("l"), 3);
  EXPECT_EQ(json.GetMemberCount("e"), 0);
  EXPECT_EQ(json.GetMemberCount("missing"), -2);

  std::vector<Text> names = {"old"};
  EXPECT_EQ(json.GetMemberNames(names), 4);
  EXPECT_EQ(names, (std::vector<Text>{"a", "b", "l", "e"}));
  EXPECT_EQ(json.GetMemberNames(names, "l"), 3);
  EXPECT_EQ(names, (std::vector<Text>{"0", "1", "2"}));
  EXPECT_EQ(json.GetMemberNames(names, "e"), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(json.GetMemberNames(names, "missing"), 0);

  // Names lose an ending that equals one of the start-up script's additions,
  // and a comma splits a name.
  JsonObject odd = Parsed(R"({"keep":1,"c,d":2,"xparseJSON":3})");
  EXPECT_EQ(odd.GetMemberNames(names), 4);
  EXPECT_EQ(names, (std::vector<Text>{"keep", "c", "d", "x"}));
  EXPECT_EQ(odd.GetMemberCount(), 3);
}

TEST(JsonObjectTest, GetObjectCopiesTheMemberIntoItsOwnEngine) {
  JsonObject json = Parsed(R"({"o":{"k":"v","n":[1,2]},"s":"while(1){}"})");
  JsonObject o = json.GetObject("o");
  EXPECT_EQ(o.GetProperty("k"), "v");
  EXPECT_EQ(o.GetMemberCount("n"), 2);
  o.SetProperty("k", "changed");
  EXPECT_EQ(json.GetProperty("o.k"), "v");
  // A string member comes back as that string, not run.
  JsonObject s = json.GetObject("s");
  EXPECT_EQ(s.Stringify(), "\"while(1){}\"");
  EXPECT_EQ(json.GetObject("missing").Stringify(), "null");
}

TEST(JsonObjectTest, CopiesShareTheEngineUntilOneParses) {
  JsonObject json = Parsed(R"({"a":1})");
  JsonObject copy = json;
  copy.SetProperty("b", "x");
  EXPECT_EQ(json.Stringify(), R"({"a":1,"b":"x"})");
  copy.Parse("[]");
  EXPECT_EQ(copy.Stringify(), "[]");
  EXPECT_EQ(json.Stringify(), R"({"a":1,"b":"x"})");
}

TEST(JsonObjectTest, SettingMembers) {
  JsonObject json;
  json.SetProperty("s", "text");
  json.SetProperty("c", "1+2", /*asCode=*/true);
  json.SetProperty("e", "", /*asCode=*/true);
  json.SetPropertyCode("l", "[1,2]");
  json.SetNumber("n", 0.1 + 0.2);
  json.SetNumber("m", -2.5);
  EXPECT_EQ(json.Stringify(), R"({"s":"text","c":3,"e":{},"l":[1,2],"n":0.3,"m":-2.5})");
  EXPECT_TRUE(json.HasMember("s"));
  EXPECT_FALSE(json.HasMember("missing"));
  json.SetPropertyCode("z", "null");
  EXPECT_FALSE(json.HasMember("z"));
  // Keys are paths: a member below a missing one cannot be set.
  json.SetProperty("missing.x", "v");
  EXPECT_FALSE(json.HasMember("missing"));
}

TEST(JsonObjectTest, PlainValuesAreStoredExactly) {
  const std::vector<Text> values = {
      "it's",
      "line1\nline2\r\n",
      "'+x+'",
      "');Object.prototype.hacked=1;('",
      "back\\slash \\u0041 \\'",
      "tab\tand\x01" "control",
      std::string("nul\0byte", 8),
      "\xD6\xD0\xCE\xC4'\"",  // 中文'"
      "\xB0\x5C'",            // a character whose second byte is a backslash, then a quote
      "",
  };
  for (const Text& value : values) {
    JsonObject json;
    json.SetProperty("k", value);
    EXPECT_EQ(json.GetProperty("k"), value);
    json.AddArrayMember(value, "l");
    EXPECT_EQ(json.GetArrayMemberText(0, "l"), value);
    json.ResetAs(kJsonArray);
    json.SetArrayMember(0, value);
    EXPECT_EQ(json.GetArrayMemberText(0), value);
    json.SetValue(value);
    EXPECT_EQ(json.GetType(), kJsonString);
    EXPECT_EQ(json.GetMemberCount("hacked"), -2);
  }
  // A byte pair that is no character of the code page turns into a stand-in
  // character but cannot end the literal early.
  JsonObject json;
  json.SetProperty("k", "\xB0'+(Object.prototype.hacked=1)+'");
  EXPECT_EQ(json.GetMemberCount("hacked"), -2);
  EXPECT_EQ(json.GetProperty("k"), "?'+(Object.prototype.hacked=1)+'");
}

TEST(JsonObjectTest, ArrayMembers) {
  JsonObject json = Parsed(R"({"l":5,"m":["p","q"],"o":[{"k":"v"}]})");
  json.AddArrayMember("x", "l");
  EXPECT_EQ(json.GetPropertyJson("l"), R"(["x"])");
  json.AddArrayMember("5", "l", /*asCode=*/true);
  EXPECT_EQ(json.GetPropertyJson("l"), R"(["x",5])");

  EXPECT_EQ(json.GetArrayMemberText(1, "m"), "q");
  EXPECT_EQ(json.GetArrayMemberText(1, "m", /*asJson=*/true), "\"q\"");
  EXPECT_EQ(json.GetArrayMemberText(5, "m"), "");
  JsonObject element = json.GetArrayMemberObject(0, "o");
  EXPECT_EQ(element.GetProperty("k"), "v");
  EXPECT_EQ(json.GetArrayMemberObject(1, "m").Stringify(), "\"q\"");

  JsonObject list = Parsed("[1,2,3]");
  list.SetArrayMember(1, "x");
  EXPECT_EQ(list.Stringify(), R"([1,"x",3])");
  list.SetArrayMember(1, "7", /*asCode=*/true);
  EXPECT_EQ(list.Stringify(), "[1,7,3]");
  list.RemoveArrayMember(0);
  EXPECT_EQ(list.Stringify(), "[7,3]");
  list.AddArrayMember("z");
  EXPECT_EQ(list.Stringify(), R"([7,3,"z"])");
  EXPECT_EQ(list.GetArrayMemberText(2), "z");
}

TEST(JsonObjectTest, RemoveArrayMemberAtUsesTheFirstBracketPair) {
  struct Case {
    Text json;
    Text path;
    Text after;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"l":[1,2,3]})", "l[1]", R"({"l":[1,3]})"},
           {R"({"l":[1,2,3]})", "l", R"({"l":[1,2,3]})"},
           {R"({"l":[1,2,3]})", "l[9]", R"({"l":[1,2,3]})"},
           {R"({"a":{"b":[0,1,2,3]}})", "a.b[2].c[1]", R"({"a":{"b":[0,1,3]}})"},
           {R"({"l":[{"x":"a"},{"x":"b"}]})", "l[0]", R"({"l":[{"x":"b"}]})"},
           // A string member is no array: it stays as it is, not run as code.
           {R"({"s":"while(1){}"})", "s[0]", R"({"s":"while(1){}"})"},
       }) {
    JsonObject json = Parsed(c.json);
    json.RemoveArrayMemberAt(c.path);
    EXPECT_EQ(json.Stringify(), c.after) << c.path;
  }
}

TEST(JsonObjectTest, ResetAsAndSetValueReplaceTheValue) {
  JsonObject json = Parsed(R"({"a":1})");
  json.ResetAs(3);
  EXPECT_EQ(json.Stringify(), R"({"a":1})");
  json.ResetAs(kJsonArray);
  EXPECT_EQ(json.Stringify(), "[]");
  json.ResetAs(kJsonObject);
  EXPECT_EQ(json.Stringify(), "{}");
  json.ResetAs(kJsonArray);
  json.ResetAs(kJsonNull);
  EXPECT_EQ(json.Stringify(), "{}");
  json.SetValue("[1,2]");
  EXPECT_EQ(json.Stringify(), "\"[1,2]\"");
  json.SetValue("[1,2]", /*asCode=*/true);
  EXPECT_EQ(json.Stringify(), "[1,2]");
}

}  // namespace
}  // namespace qm
