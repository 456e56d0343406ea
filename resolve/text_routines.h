// Small text routines shared by the resolver, the HTTP client, the JSON
// object and the download command. All work on code-page-936 texts.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace qm {

// The bytes strictly between the first `startMarker` at or after
// `startPosition` and the first `endMarker` after it; empty when either is
// missing. "#引号" inside a marker stands for a double quote.
Text TextBetween(const Text& text, const Text& startMarker, const Text& endMarker,
                 std::int32_t startPosition = 0, bool ignoreCase = false);

// The text before the first `marker` found at or after byte position `start`
// (below 1 means 1): the bytes from the beginning of the text, not from
// `start`, up to that marker. Empty when the marker is missing.
Text TextBefore(const Text& text, const Text& marker, std::int32_t start = 1, bool ignoreCase = false);

// A UTF-8 body as a text of the system's code page, up to its first U+0000.
Text Utf8ToLocalText(const Bytes& body);

// Non-overlapping occurrences of `needle`; ASCII case is ignored unless
// `caseSensitive`.
std::int32_t CountOccurrences(const Text& text, const Text& needle, bool caseSensitive = false);

// The text without its last `count` bytes (may split a double-byte character).
Text DropLastChars(const Text& text, std::int32_t count);

}  // namespace qm
