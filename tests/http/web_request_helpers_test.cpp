#include <gtest/gtest.h>

#include "http/web_request.h"

namespace qm {
namespace {

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
