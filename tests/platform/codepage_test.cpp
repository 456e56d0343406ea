#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(CodepageTest, RoundTripsChineseAndAscii) {
  const std::string utf8 = "文件名字：setup.zip";
  const Text cp936 = Utf8ToCp936(utf8);
  EXPECT_EQ(cp936, "\xCE\xC4\xBC\xFE\xC3\xFB\xD7\xD6\xA3\xBA" "setup.zip");
  EXPECT_EQ(Cp936ToUtf8(cp936), utf8);
  EXPECT_EQ(Cp936ToUtf16("\xA1\xA1"), u"\u3000");  // the full-width space
}

TEST(CodepageTest, UnrepresentableCharactersBecomeTheDefaultCharacter) {
  EXPECT_EQ(Utf8ToCp936("a\xF0\x9F\x98\x80" "b"), "a?b");  // an emoji, one surrogate pair
  EXPECT_EQ(Utf8ToCp936("\xE2\x82\xAC"), "\x80");          // the euro sign is in the code page
}

TEST(CodepageTest, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFD" "b");
  EXPECT_EQ(Utf8ToUtf16("\xE6\x96"), u"\uFFFD");  // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong slash
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(CodepageTest, LongTextsConvertWhole) {
  std::string utf8;
  for (int i = 0; i < 5000; ++i) utf8 += "中a";
  EXPECT_EQ(Cp936ToUtf8(Utf8ToCp936(utf8)), utf8);
}

}  // namespace
}  // namespace qm
