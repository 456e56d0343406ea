#include "platform/text.h"

#include <algorithm>

namespace qm {
namespace {

bool IsLeadByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool MatchesAt(std::string_view text, std::size_t at, std::string_view needle, bool ignoreCase) {
  if (text.size() - at < needle.size()) return false;
  if (!ignoreCase) return text.compare(at, needle.size(), needle) == 0;
  for (std::size_t i = 0; i < needle.size(); ++i) {
    if (FoldAscii(text[at + i]) != FoldAscii(needle[i])) return false;
  }
  return true;
}

std::size_t CharWidth(std::string_view text, std::size_t at) { return IsLeadByte(text[at]) ? 2 : 1; }

// Steps by whole characters from the boundary `at` to the first boundary at or
// after `target`.
std::size_t AdvanceTo(std::string_view text, std::size_t at, std::size_t target) {
  while (at < target && at < text.size()) at += CharWidth(text, at);
  return at;
}

// The 0-based offset of the first match at or after the character boundary
// `at`; npos when absent.
std::size_t ScanFrom(std::string_view text, std::string_view needle, std::size_t at, bool ignoreCase) {
  if (needle.empty()) return at < text.size() ? 0 : std::string_view::npos;
  while (at < text.size()) {
    if (MatchesAt(text, at, needle, ignoreCase)) return at;
    at += CharWidth(text, at);
  }
  return std::string_view::npos;
}

}  // namespace

int Find(std::string_view text, std::string_view needle, int start, bool ignoreCase) {
  const std::size_t from = start < 1 ? 0 : static_cast<std::size_t>(start) - 1;
  if (from >= text.size()) return -1;
  const std::size_t at = ScanFrom(text, needle, AdvanceTo(text, 0, from), ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<int>(at) + 1;
}

Text Left(std::string_view text, int count) {
  if (count <= 0) return {};
  return Text(text.substr(0, static_cast<std::size_t>(count)));
}

Text Right(std::string_view text, int count) {
  if (count <= 0) return {};
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(count));
  return Text(text.substr(text.size() - n));
}

Text Mid(std::string_view text, int start, int count) {
  const std::size_t from = start < 1 ? 0 : static_cast<std::size_t>(start) - 1;
  if (from >= text.size() || count == 0) return {};
  return Text(text.substr(from, count < 0 ? std::string_view::npos : static_cast<std::size_t>(count)));
}

std::vector<Text> Split(std::string_view text, std::string_view separator) {
  std::vector<Text> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  std::size_t from = 0;  // start of the current piece
  std::size_t scan = 0;  // character boundary where the next search starts
  while (from < text.size()) {
    const std::size_t at = ScanFrom(text, separator, scan, false);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(from));
      return pieces;
    }
    pieces.emplace_back(text.substr(from, at - from));
    from = at + separator.size();
    scan = AdvanceTo(text, at, from);
  }
  return pieces;  // ended on a separator: no trailing empty piece
}

Text Replace(std::string_view text, std::string_view from, std::string_view to, bool ignoreCase) {
  if (from.empty() || text.empty()) return Text(text);
  Text out;
  out.reserve(text.size());
  std::size_t pos = 0;   // first byte not yet copied
  std::size_t scan = 0;  // character boundary where the next search starts
  while (pos < text.size()) {
    const std::size_t at = ScanFrom(text, from, scan, ignoreCase);
    if (at == std::string_view::npos) break;
    out.append(text.substr(pos, at - pos)).append(to);
    pos = at + from.size();
    scan = AdvanceTo(text, at, pos);
  }
  if (pos < text.size()) out.append(text.substr(pos));
  return out;
}

Text Trim(std::string_view text) {
  // Walk by characters so that a trailing A1 A1 is only taken when it really
  // is a full-width space and not the tail of another character.
  std::size_t first = std::string_view::npos;
  std::size_t end = 0;
  for (std::size_t at = 0; at < text.size();) {
    const bool space = text[at] == ' ';
    const bool wideSpace = text.compare(at, 2, "\xA1\xA1") == 0;
    const std::size_t width = CharWidth(text, at);
    if (!space && !wideSpace) {
      if (first == std::string_view::npos) first = at;
      end = std::min(text.size(), at + width);
    }
    at += width;
  }
  if (first == std::string_view::npos) return {};
  return Text(text.substr(first, end - first));
}

Text TextFromBytes(const Bytes& bytes) { return Text(bytes.begin(), bytes.end()); }

Bytes BytesFromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace qm
