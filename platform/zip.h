// The ZIP component: unpacks an archive file into a folder.
#pragma once

#include <string>
#include <vector>

#include "platform/text.h"

namespace qm {

// Why an archive or one of its entries was not unpacked.
enum class ZipProblem {
  kNone,
  kEmptyPath,         // the archive path or the destination is empty
  kNoArchive,         // the archive file does not exist
  kFolderNotCreated,  // the destination folder cannot be created
  kNotZip,            // the file does not begin with a local file header
  kUnreadable,        // no central directory could be read
  kTooLarge,          // the entries would not fit on the destination's disk
  kUnsafeName,        // the name leaves the destination or holds control characters
  kLink,              // a symbolic link or another special file
  kEncrypted,
  kUnsupportedMethod,  // neither stored nor deflated
  kDamaged,            // bad local header, data outside the file, inflate or CRC error
  kConflict,           // a file where a folder is needed, or the other way round
  kNotWritten,         // the file system refused the file or its folder
};

struct ZipEntryFailure {
  std::string name;  // UTF-8 as far as it could be decoded
  ZipProblem problem = ZipProblem::kNone;
};

// What happened, for callers that want more than the number.
struct ZipReport {
  ZipProblem problem = ZipProblem::kNone;  // the first problem met
  int entries = 0;                         // entries in the central directory
  int written = 0;                         // files and folders unpacked
  std::vector<ZipEntryFailure> failures;   // entries not unpacked, in archive order
};

// Paths are texts as the system builds them (code page 936, backslashes).
// 1: every entry was extracted into `destinationFolder`;
// 0: the folder cannot be created, the file is no ZIP archive or cannot be
//    read as one, or an entry cannot be written;
// -1: a path is empty or the archive does not exist.
// Entries that would land outside the folder, links, and damaged or
// encrypted entries are skipped (result 0); the others are still unpacked,
// and a skipped entry never leaves a partial file under its name.
int ZipDecompress(const Text& archivePath, const Text& destinationFolder, ZipReport* report = nullptr);

}  // namespace qm
