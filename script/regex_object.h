// Regular-expression matching over page texts: Compile runs a pattern once
// over a subject and keeps the matches; the other operations read them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/regex_engine.h"
#include "platform/text.h"

namespace qm {

class RegexObject {
 public:
  // A copy shares the engine and the matches of the object copied.
  RegexObject() = default;

  // Flags left out: case ignored, multi-line, every match. With
  // `quotePlaceholder` every "#引号" in `pattern` stands for a double quote.
  // True when the pattern ran, whether or not anything matched; false for an
  // invalid pattern.
  bool Compile(const Text& pattern, const Text& subject, std::optional<bool> caseSensitive = std::nullopt,
               std::optional<bool> multiline = std::nullopt, std::optional<bool> global = std::nullopt,
               std::optional<bool> quotePlaceholder = std::nullopt);

  // The pattern of the last Compile, placeholders replaced.
  Text GetPattern() const;

  // The subject of the last Compile with its matches replaced.
  Text ReplaceMatches(const Text& replacement = {}) const;

  std::int32_t GetMatchCount() const;

  // Match `matchIndex` (1-based); empty when there is no such match. With
  // `position`, also its 0-based byte offset in the subject as the position
  // search finds it (-2 when not found).
  Text GetMatchText(std::int32_t matchIndex, std::int32_t* position = nullptr) const;

  // Group `groupIndex` (1-based) of match `matchIndex` (1-based); empty for a
  // group that took no part. `position` as for GetMatchText, searched from the
  // start of the whole match.
  Text GetSubmatchText(std::int32_t matchIndex, std::int32_t groupIndex, std::int32_t* position = nullptr) const;

  // The number of capturing groups as the first match reports them.
  std::int32_t GetSubmatchCount() const;

 private:
  const RegexMatch* Match(std::int32_t matchIndex) const;
  std::int32_t FindPosition(const Text& text, std::int32_t firstIndex) const;

  std::shared_ptr<RegexEngine> regexEngine;
  std::shared_ptr<const RegexMatches> matchCollection;
  std::optional<std::u16string> subjectValue;
};

}  // namespace qm
