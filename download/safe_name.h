// File names that arrive from the network, made safe to use as one name in
// the program's folder.
#pragma once

#include "platform/text.h"

namespace qm {

// `name` (code page 936) as one file-name component: path separators ("/",
// "\"), control characters and the characters Windows refuses in names
// (< > : " | ? *) become "_", and so does every byte that is not part of a
// whole double-byte character (a lone lead byte would take the next byte,
// which may be a separator, with it). Double-byte characters are kept whole,
// including those whose second byte is 0x5C. Empty when nothing usable is
// left: an empty name, "." and "..".
Text SafeFileName(const Text& name);

}  // namespace qm
