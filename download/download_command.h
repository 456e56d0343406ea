// The command behind the download button: fetch the resolved file, save it
// beside the program and unpack it when it is a ZIP archive.
#pragma once

#include <functional>

#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// Works from g_directUrl and g_fileName; reports to the user through `form`.
void DownloadAndUnpack(Form& form);

// Starts the RAR tool of g_rarToolPath to extract `archivePath` into
// `destinationPath`: "TOOL" x -iext -ow -er -o- "ARCHIVE" "DESTINATION",
// "-o+" when `overwrite`, then -pPASSWORD when a password is given. The
// window mode is kWindowNormal when `showMode` is 1, hidden otherwise.
// Returns "rar路径不存在，请确认是否初始化成功" without starting anything when
// no tool path is set, and the empty text otherwise.
Text RunRarExtract(const Text& archivePath, const Text& destinationPath, const Text& password = {},
                   bool overwrite = false, bool waitForTool = false, int showMode = 0);

// Where DownloadAndUnpack puts its work, so that tests can point it at a
// folder of their own: the folder that stands for the run directory, and the
// unpacker of ZIP archives (ZipDecompress, with its results 1, 0 and -1).
struct DownloadPlace {
  Text runDirectory;
  std::function<int(const Text& archivePath, const Text& destinationFolder)> unzip;
};
void DownloadAndUnpack(Form& form, const DownloadPlace& place);

}  // namespace qm
