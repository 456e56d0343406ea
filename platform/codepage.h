// Conversions between the system's code page 936 and the encodings at its
// edges: UTF-16 (widgets, the regex and script engines) and UTF-8 (the
// network, file names and process arguments on Linux).
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace qm {

// Malformed UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Characters that code page 936 cannot hold become "?", its default character.
Text Utf16ToCp936(std::u16string_view utf16);
// Bytes that are no character of code page 936 become U+FFFD.
std::u16string Cp936ToUtf16(std::string_view cp936);

Text Utf8ToCp936(std::string_view utf8);
std::string Cp936ToUtf8(std::string_view cp936);

// A code-page-936 text from a UTF-8 literal of the source code, for the
// system's fixed messages and markers.
inline Text Cp936(std::string_view utf8) { return Utf8ToCp936(utf8); }

}  // namespace qm
