// The command behind the download button: fetch the resolved file, save it
// beside the program and unpack it when it is a ZIP archive.
#pragma once

#include <functional>
#include <optional>

#include "download/downloader.h"
#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// What one run of the command came to, for front ends that report it in
// other ways than the messages (the window does not look at it).
// Downloads g_directUrl straight into a new file beside `savePath` and puts it
// in place once whole, with the size label, bar and percent on `form` (and
// `observer`, when given, told of every piece as well). False when the
// download failed (the user has been told) or the file could not be written
// ("保存失败!"); the file already there is then left as it was.
bool FetchAndSave(Form& form, const Text& savePath, const ProgressCallback& observer = {});

struct DownloadOutcome {
  bool saved = false;              // every download of the run arrived whole and was saved
  Text savePath;                   // the file, once it was saved
  std::optional<int> unzipResult;  // 1, 0 or -1 when a saved ZIP archive was handed to the unpacker
  Text extractFolder;              // the folder it was unpacked into (ends in "\")
};

// Works from g_directUrl and g_fileName; reports to the user through `form`.
DownloadOutcome DownloadAndUnpack(Form& form);

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
// unpacker of ZIP archives (ZipDecompress, with its results 1, 0 and -1),
// and an optional observer that sees every piece's numbers after the
// progress display (a front end that shows speed and time left).
struct DownloadPlace {
  Text runDirectory;
  std::function<int(const Text& archivePath, const Text& destinationFolder)> unzip;
  ProgressCallback progress = {};
};
DownloadOutcome DownloadAndUnpack(Form& form, const DownloadPlace& place);

}  // namespace qm
