// Program-wide state of the shell, through which the resolver hands its
// results to the download command. Texts in code page 936, empty at start.
// It lives below the window layer (no Qt), next to the routines that use it.
#pragma once

#include "platform/text.h"

namespace qm {

extern Text g_shareUrl;     // the share address the user asked to resolve
extern Text g_directUrl;    // the direct address of the last resolve that got through
extern Text g_fileName;     // the file name scraped by the last resolve
extern Text g_rarToolPath;  // an external RAR tool; nothing assigns it

// Empties the four texts; registered as the clean-up step at program end.
void ReleaseProgramState();

}  // namespace qm
