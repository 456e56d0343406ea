// The ZIP component: unpacks an archive file into a folder.
#pragma once

#include "platform/text.h"

namespace qm {

// Paths are texts as the system builds them (code page 936, backslashes).
// 1: every entry was extracted into `destinationFolder`;
// 0: the folder cannot be created, the file is no ZIP archive or cannot be
//    read as one, or an entry cannot be written;
// -1: a path is empty or the archive does not exist.
int ZipDecompress(const Text& archivePath, const Text& destinationFolder);

}  // namespace qm
