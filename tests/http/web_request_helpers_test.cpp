#include <gtest/gtest.h>

#include "http/web_request.h"
#include "resolve/text_routines.h"

namespace qm {
namespace {

struct BeforeCase {
  Text text;
  Text marker;
  std::int32_t start;
  bool ignoreCase;
  Text expected;
};

class TextBeforeTest : public ::testing::TestWithParam<BeforeCase> {};

TEST_P(TextBeforeTest, CutsBeforeTheMarker) {
  const BeforeCase& c = GetParam();
  EXPECT_EQ(TextBefore(c.text, c.marker, c.start, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextBeforeTest, ::testing::Values(
    BeforeCase{"Set-Cookie: a=1", ": ", 0, false, "Set-Cookie"},
    BeforeCase{"a,b,c", ",", 0, false, "a"},
    BeforeCase{"a,b,c", ",", 3, false, "a,b"},         // counted from the first byte, not from start
    BeforeCase{"a,b,c", ",", -4, false, "a"},
    BeforeCase{"a,b,c", ",", 6, false, ""},            // start beyond the end
    BeforeCase{"abc", ",", 0, false, ""},              // marker missing
    BeforeCase{",abc", ",", 0, false, ""},             // marker at the first byte
    BeforeCase{"xENDy", "end", 0, false, ""},
    BeforeCase{"xENDy", "end", 0, true, "x"},
    // '\xB0,' is one character; the first real comma follows it.
    BeforeCase{"\xB0,a,b", ",", 0, false, "\xB0,a"}));

TEST(HeaderLineTest, SplitsAtTheFirstColonAndTrims) {
  struct Case {
    Text line, name, value;
  };
  const Case cases[] = {
      {"Accept: */*", "Accept", "*/*"},
      {"Referer: http://h:8/x", "Referer", "http://h:8/x"},  // only the first colon splits
      {"  X-A :  v  ", "X-A", "v"},
      {"Name:", "Name", ""},
      {":value", "", "value"},
      {"no colon", "", ""},
      {"", "", ""},
      {"K:\xA1\xA1v\tw\xA1\xA1", "K", "v\tw"},  // full-width spaces trimmed, tabs kept
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HeaderLineName(c.line), c.name) << c.line;
    EXPECT_EQ(HeaderLineValue(c.line), c.value) << c.line;
  }
}

TEST(Base64EncodeTest, FollowsRfc4648) {
  const std::pair<Text, Text> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},     {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"user:", "dXNlcjo="},  // an empty password still gives the colon
      {Text("\xFF\xFE\x00\x01", 4), "//4AAQ=="},
      {"\xD3\xC3:\xBB\xA7", "08M6u6c="},  // '用:户' in code page 936
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Base64Encode(BytesFromText(input)), expected) << input;
  }
}

}  // namespace
}  // namespace qm
