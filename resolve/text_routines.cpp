#include "resolve/text_routines.h"

#include <algorithm>

#include "platform/codepage.h"

namespace qm {
namespace {

// "#引号" in code page 936: lets callers write markers that hold quotes.
constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";

}  // namespace

Text TextBetween(const Text& text, const Text& startMarker, const Text& endMarker, std::int32_t startPosition,
                 bool ignoreCase) {
  const Text start = Replace(startMarker, kQuotePlaceholder, "\"");
  const Text end = Replace(endMarker, kQuotePlaceholder, "\"");
  const int p = Find(text, start, startPosition, ignoreCase);
  if (p < 0) return {};
  const int a = p + static_cast<int>(start.size());
  const int b = Find(text, end, a, ignoreCase);
  if (b < 0 || b <= a) return {};
  return Mid(text, a, b - a);
}

Text TextBefore(const Text& text, const Text& marker, std::int32_t start, bool ignoreCase) {
  const int p = Find(text, marker, start, ignoreCase);
  return p < 0 ? Text() : Left(text, p - 1);
}

Text Utf8ToLocalText(const Bytes& body) {
  if (body.empty()) return {};
  Text text = Utf16ToCp936(Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(body.data()), body.size())));
  const std::size_t zero = text.find('\0');
  if (zero != Text::npos) text.resize(zero);
  return text;
}

std::int32_t CountOccurrences(const Text& text, const Text& needle, bool caseSensitive) {
  if (text.empty() || needle.empty()) return 0;
  std::int32_t count = 0;
  for (int p = Find(text, needle, 1, !caseSensitive); p > 0;
       p = Find(text, needle, p + static_cast<int>(needle.size()), !caseSensitive)) {
    ++count;
  }
  return count;
}

Text DropLastChars(const Text& text, std::int32_t count) {
  const std::int64_t keep = static_cast<std::int64_t>(text.size()) - count;
  if (keep <= 0) return {};
  return Left(text, static_cast<int>(std::min<std::int64_t>(keep, static_cast<std::int64_t>(text.size()))));
}

}  // namespace qm
