#include "script/regex_object.h"

#include "platform/codepage.h"
#include "platform/text.h"

namespace qm {
namespace {

// "#引号" in code page 936.
constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";

}  // namespace

bool RegexObject::Compile(const Text& pattern, const Text& subject, std::optional<bool> caseSensitive,
                          std::optional<bool> multiline, std::optional<bool> global,
                          std::optional<bool> quotePlaceholder) {
  regexEngine.reset();
  matchCollection.reset();

  regexEngine = std::make_shared<RegexEngine>();
  regexEngine->SetIgnoreCase(!caseSensitive.value_or(false));
  regexEngine->SetMultiline(multiline.value_or(true));
  regexEngine->SetSingleline(true);
  regexEngine->SetGlobal(global.value_or(true));
  const Text effective = quotePlaceholder.value_or(false) ? Replace(pattern, kQuotePlaceholder, "\"") : pattern;
  regexEngine->SetPattern(Cp936ToUtf16(effective));

  subjectValue = Cp936ToUtf16(subject);
  if (auto matches = regexEngine->Execute(*subjectValue)) {
    matchCollection = std::make_shared<const RegexMatches>(std::move(*matches));
  }
  return matchCollection != nullptr;
}

Text RegexObject::GetPattern() const { return regexEngine ? Utf16ToCp936(regexEngine->Pattern()) : Text(); }

Text RegexObject::ReplaceMatches(const Text& replacement) const {
  if (!regexEngine || !subjectValue) return {};
  const auto replaced = regexEngine->Replace(*subjectValue, Cp936ToUtf16(replacement));
  return replaced ? Utf16ToCp936(*replaced) : Text();
}

std::int32_t RegexObject::GetMatchCount() const {
  return matchCollection ? static_cast<std::int32_t>(matchCollection->size()) : 0;
}

const RegexMatch* RegexObject::Match(std::int32_t matchIndex) const {
  if (!matchCollection || matchIndex < 1 || static_cast<std::size_t>(matchIndex) > matchCollection->size()) {
    return nullptr;
  }
  return &(*matchCollection)[static_cast<std::size_t>(matchIndex) - 1];
}

Text RegexObject::GetMatchText(std::int32_t matchIndex, std::int32_t* position) const {
  const RegexMatch* match = Match(matchIndex);
  Text text = match ? Utf16ToCp936(match->value) : Text();
  if (position != nullptr) *position = FindPosition(text, match ? match->firstIndex : 0);
  return text;
}

Text RegexObject::GetSubmatchText(std::int32_t matchIndex, std::int32_t groupIndex, std::int32_t* position) const {
  const RegexMatch* match = Match(matchIndex);
  Text text;
  if (match && groupIndex >= 1 && static_cast<std::size_t>(groupIndex) <= match->subMatches.size()) {
    text = Utf16ToCp936(match->subMatches[static_cast<std::size_t>(groupIndex) - 1]);
  }
  if (position != nullptr) *position = FindPosition(text, match ? match->firstIndex : 0);
  return text;
}

std::int32_t RegexObject::GetSubmatchCount() const {
  const RegexMatch* first = Match(1);
  return first ? static_cast<std::int32_t>(first->subMatches.size()) : 0;
}

// The match start counts wide characters; used as a 1-based byte position it
// never lies after the match, so the text is searched for from there. The
// search ignores case exactly when the regex does not: callers rely on that.
std::int32_t RegexObject::FindPosition(const Text& text, std::int32_t firstIndex) const {
  const Text subject = subjectValue ? Utf16ToCp936(*subjectValue) : Text();
  const Text ignoreCaseText = regexEngine ? (regexEngine->IgnoreCase() ? "-1" : "0") : "";
  const int found = Find(subject, text, firstIndex, /*ignoreCase=*/ignoreCaseText == "0");
  return found - 1;
}

}  // namespace qm
