// Turns the address of a share page into the direct download address of its
// file.
#pragma once

#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// Leaves its results in g_fileName, g_directUrl and the text of 编辑框2 of
// `form`, and tells the user when the share page holds no download.
void ResolveShareLink(const Text& shareUrl, Form& form);

}  // namespace qm
