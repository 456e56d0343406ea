#include "download/download_command.h"

#include "app/program_state.h"
#include "download/downloader.h"
#include "download/progress.h"
#include "download/safe_name.h"
#include "platform/codepage.h"
#include "platform/numbers.h"
#include "platform/runtime.h"
#include "platform/zip.h"
#include "resolve/text_routines.h"

namespace qm {
namespace {

const Text& DoneCaption() {
  static const Text caption = Cp936("更新完毕");
  return caption;
}

const Text& DoneMessage() {
  static const Text message = Cp936("恭喜您，本次更新完毕！");
  return message;
}

void ShowSaveFailed(Form& form) {
  static const Text message = Cp936("保存失败!");
  form.ShowMessage(message);
}

// Downloads g_directUrl and puts it at `savePath`. False when the download
// failed (the downloader has told the user) or the file could not be saved;
// then the file already there is left as it was.
bool FetchAndSave(Form& form, const Text& savePath) {
  bool complete = false;
  const Bytes body = DownloadToMemory(
      g_directUrl, form,
      [&form](std::int32_t total, std::int32_t received, std::int32_t elapsed, std::int32_t sinceStart) {
        ShowProgress(form, total, received, elapsed, sinceStart);
      },
      /*startOffset=*/std::nullopt, &complete);
  if (!complete) return false;
  // Not flushed to the disk: that would cost many times the save itself (a
  // second or so for 256 MB), and the rename already keeps a crash of the
  // program or a full disk from leaving a part of the file under its name.
  if (!SaveBytesAtomically(savePath, body, /*syncToDisk=*/false)) {
    ShowSaveFailed(form);
    return false;
  }
  return true;
}

// The folder an archive is unpacked into: the file name without its last
// four bytes, made safe again (the cut may split a double-byte character or
// leave "." or ".."). Empty when no folder of its own is left, for ".zip"
// would otherwise unpack into the run directory itself.
Text ExtractFolderName(const Text& fileName) { return SafeFileName(DropLastChars(fileName, 4)); }

}  // namespace

void DownloadAndUnpack(Form& form) {
  DownloadAndUnpack(form, DownloadPlace{RunDirectory(), [](const Text& archive, const Text& folder) {
                                          return ZipDecompress(archive, folder);
                                        }});
}

void DownloadAndUnpack(Form& form, const DownloadPlace& place) {
  static const Text kRar = ".rar";
  static const Text kExe = ".exe";
  static const Text kZip = ".zip";
  // The name comes from the share page: it may carry separators or nothing at all.
  const Text fileName = SafeFileName(g_fileName);
  if (fileName.empty()) {
    ShowSaveFailed(form);
    return;
  }
  const Text savePath = place.runDirectory + "\\" + fileName;
  const Text folderName = ExtractFolderName(fileName);
  const Text extractFolder = place.runDirectory + "\\" + folderName + "\\";

  const bool rar = CountOccurrences(fileName, kRar) > 0;
  const bool exe = CountOccurrences(fileName, kExe) > 0;
  const bool zip = CountOccurrences(fileName, kZip) > 0;

  // Each branch downloads on its own; the first failure ends the command, so
  // that one click gives at most one failure message.
  if (rar) {
    if (!FetchAndSave(form, savePath)) return;
    if (!folderName.empty()) RunRarExtract(savePath, extractFolder, /*password=*/{}, /*overwrite=*/true);
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
  if (exe) {
    if (!FetchAndSave(form, savePath)) return;
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
  if (zip) {
    if (!FetchAndSave(form, savePath)) return;
    // -1 is the unpacker's own answer for a destination it cannot be given.
    const int result = folderName.empty() || !place.unzip ? -1 : place.unzip(savePath, extractFolder);
    form.ShowMessage(DoneMessage() + " " + FormatInteger(result), DoneCaption());
  }
  if (!rar && !exe && !zip) {
    if (!FetchAndSave(form, savePath)) return;
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
}

namespace {

// `item` in double quotes. Backslashes right before the closing quote are
// doubled, or the last one would escape the quote: a folder path ends in "\".
// The second byte of a double-byte character may be 0x5C and is no backslash.
Text Quoted(const Text& item) {
  std::size_t trailing = 0;
  for (std::size_t i = 0; i < item.size(); ++i) {
    if (static_cast<unsigned char>(item[i]) >= 0x80 && i + 1 < item.size()) {
      ++i;
      trailing = 0;
    } else {
      trailing = item[i] == '\\' ? trailing + 1 : 0;
    }
  }
  return "\"" + item + Text(trailing, '\\') + "\"";
}

}  // namespace

Text RunRarExtract(const Text& archivePath, const Text& destinationPath, const Text& password, bool overwrite,
                   bool waitForTool, int showMode) {
  if (g_rarToolPath.empty()) return Cp936("rar路径不存在，请确认是否初始化成功");
  Text commandLine = Quoted(g_rarToolPath) + " x -iext -ow -er " + (overwrite ? "-o+" : "-o-") + " " +
                     Quoted(archivePath) + " " + Quoted(destinationPath);
  if (!password.empty()) commandLine += " -p" + password;
  StartProgram(commandLine, showMode == 1 ? kWindowNormal : kWindowHidden, waitForTool);
  return {};
}

}  // namespace qm
