// Texts of the system: byte strings in code page 936, and the operations the
// routines build on. Positions are 1-based byte positions, -1 means "not found".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Code-page-936 bytes. A byte of 0x80 or above starts a two-byte character.
using Text = std::string;
// A counted block of bytes that may hold zero bytes.
using Bytes = std::vector<std::uint8_t>;

// The 1-based position of the first occurrence of `needle` at or after
// `start`, or -1. `start` below 1 means 1; beyond the end finds nothing.
// A match never starts on the second byte of a double-byte character.
// `ignoreCase` folds the ASCII letters only. An empty needle is found at 1
// whenever something is left from `start` on.
int Find(std::string_view text, std::string_view needle, int start = 1, bool ignoreCase = false);

// Cuts by byte counts; they may split a double-byte character.
Text Left(std::string_view text, int count);
Text Right(std::string_view text, int count);
// `count` bytes from the 1-based `start`; a negative count means "to the end".
Text Mid(std::string_view text, int start, int count = -1);

// Pieces in order; a leading and inner empty pieces are kept, a trailing empty
// piece after a final separator is dropped, the empty text gives no pieces.
std::vector<Text> Split(std::string_view text, std::string_view separator);

// Every non-overlapping occurrence from left to right.
Text Replace(std::string_view text, std::string_view from, std::string_view to,
             bool ignoreCase = false);

// Removes leading and trailing spaces and full-width spaces (A1 A1) only.
Text Trim(std::string_view text);

// Bytes and texts meet at the edges of the HTTP and download layers.
Text TextFromBytes(const Bytes& bytes);
Bytes BytesFromText(std::string_view text);

}  // namespace qm
