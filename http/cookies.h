// Carries one cookie text from request to request: the cookies a response
// set win over the earlier entries of the same name, deleted cookies drop
// out and exact repeats are removed.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace qm {

// Trims both variables in place, then stores the merged text into
// `oldCookies` and returns a copy of it: the entries of `newCookies` in their
// order, then those of `oldCookies` whose names `newCookies` lacks, without
// entries ending in "=deleted" and without exact repeats.
Text MergeCookies(Text& oldCookies, Text& newCookies);

// The bytes before the first "=" (or the whole piece), trimmed.
Text CookieName(const Text& piece);

// True when an element of `list` has the cookie name `name` (exact bytes).
bool HasCookieName(const std::vector<Text>& list, const Text& name);

// `text` split on `separator`, each distinct piece kept once where it first
// occurs, joined again with `separator`.
Text JoinDistinct(const Text& text, const Text& separator);

// The 1-based index of the first element equal to `text`, or -1.
std::int32_t IndexOfText(const std::vector<Text>& list, const Text& text);

}  // namespace qm
