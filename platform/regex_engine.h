// A regular-expression engine with a pattern dialect close to JavaScript's
// ("\s", "\S", "[\s\S]", lazy quantifiers, groups, "\/"), matching on UTF-16
// code units. "." does not match a line feed. Nothing throws: an invalid
// pattern, or a match that runs beyond its bounds, makes Execute and Replace
// give nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct RegexMatch {
  std::u16string value;
  // The start of the match in the subject, in UTF-16 units.
  std::int32_t firstIndex = 0;
  // The texts of the capturing groups, group 1 first; a group that took no
  // part in the match gives the empty text.
  std::vector<std::u16string> subMatches;
};

using RegexMatches = std::vector<RegexMatch>;

class RegexEngine {
 public:
  void SetIgnoreCase(bool on) { ignoreCase_ = on; }
  bool IgnoreCase() const { return ignoreCase_; }
  // "^" and "$" also match at line feeds inside the subject.
  void SetMultiline(bool on) { multiline_ = on; }
  // Not a switch of this engine: "." keeps not matching a line feed.
  void SetSingleline(bool) {}
  // Execute finds every match and Replace replaces every match; otherwise only
  // the first.
  void SetGlobal(bool on) { global_ = on; }
  void SetPattern(std::u16string pattern) { pattern_ = std::move(pattern); }
  const std::u16string& Pattern() const { return pattern_; }

  // The matches in order (possibly none); nullopt when the pattern is invalid
  // or the matching ran beyond its bounds.
  std::optional<RegexMatches> Execute(std::u16string_view subject) const;

  // The subject with its matches replaced. In the replacement "$1" to "$99"
  // stand for groups, "$&" for the match, "$`" and "$'" for the text before
  // and after it, "$$" for "$"; nullopt as for Execute.
  std::optional<std::u16string> Replace(std::u16string_view subject, std::u16string_view replacement) const;

 private:
  bool ignoreCase_ = false;
  bool multiline_ = false;
  bool global_ = false;
  std::u16string pattern_;
};

}  // namespace qm
