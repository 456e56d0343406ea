#include "http/cookies.h"

namespace qm {
namespace {

constexpr std::string_view kDeletedMark = "=deleted";

bool IsDeletionMarker(const Text& piece) {
  return piece.size() >= kDeletedMark.size() && Right(piece, static_cast<int>(kDeletedMark.size())) == kDeletedMark;
}

}  // namespace

Text CookieName(const Text& piece) {
  const int equals = Find(piece, "=");
  return Trim(equals < 0 ? piece : Left(piece, equals - 1));
}

bool HasCookieName(const std::vector<Text>& list, const Text& name) {
  for (const Text& piece : list) {
    if (CookieName(piece) == name) return true;
  }
  return false;
}

std::int32_t IndexOfText(const std::vector<Text>& list, const Text& text) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == text) return static_cast<std::int32_t>(i) + 1;
  }
  return -1;
}

Text JoinDistinct(const Text& text, const Text& separator) {
  std::vector<Text> seen;
  Text out;
  for (const Text& piece : Split(text, separator)) {
    if (IndexOfText(seen, piece) != -1) continue;
    seen.push_back(piece);
    out += piece;
    out += separator;
  }
  if (out.size() < separator.size()) return {};
  out.resize(out.size() - separator.size());
  return out;
}

Text MergeCookies(Text& oldCookies, Text& newCookies) {
  oldCookies = Trim(oldCookies);
  newCookies = Trim(newCookies);
  const std::vector<Text> oldList = Split(oldCookies, ";");
  std::vector<Text> newList = Split(newCookies, ";");

  // The list grows while it is searched, so an old name appended once is not
  // appended again.
  for (const Text& piece : oldList) {
    if (!HasCookieName(newList, CookieName(piece))) newList.push_back(piece);
  }

  Text merged;
  for (const Text& piece : newList) {
    if (IsDeletionMarker(piece)) continue;
    merged += piece;
    merged += ';';
  }
  if (!merged.empty()) merged.pop_back();

  merged = JoinDistinct(merged, ";");
  oldCookies = merged;
  return merged;
}

}  // namespace qm
