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

// The body goes straight into the new file beside the target, as it arrives:
// memory stays small whatever the size, and the bytes are written once.
class FileSink : public BodySink {
 public:
  explicit FileSink(PendingFile& file) : file_(file) {}
  bool Append(const std::uint8_t* data, std::size_t size) override { return file_.Append(data, size); }

 private:
  PendingFile& file_;
};

// The folder an archive is unpacked into: the file name without its last
// four bytes, made safe again (the cut may split a double-byte character or
// leave "." or ".."). Empty when no folder of its own is left, for ".zip"
// would otherwise unpack into the run directory itself.
Text ExtractFolderName(const Text& fileName) { return SafeFileName(DropLastChars(fileName, 4)); }

}  // namespace

bool FetchAndSave(Form& form, const Text& savePath, const ProgressCallback& observer) {
  PendingFile file(savePath);
  if (!file.Ok()) {
    ShowSaveFailed(form);
    return false;
  }
  FileSink sink(file);
  const DownloadResult result = DownloadInto(
      g_directUrl, form,
      [&form, &observer](std::int32_t total, std::int32_t received, std::int32_t elapsed,
                         std::int32_t sinceStart) {
        ShowProgress(form, total, received, elapsed, sinceStart);
        if (observer) observer(total, received, elapsed, sinceStart);
      },
      /*startOffset=*/std::nullopt, sink);
  if (result == DownloadResult::kFailed) return false;
  // Not flushed to the disk: that would cost more than the whole download (a
  // second or so for 256 MB here), and the rename already keeps a crash of
  // the program or a full disk from leaving a part of the file under its name.
  if (result == DownloadResult::kSinkFailed || !file.Commit(/*syncToDisk=*/false)) {
    ShowSaveFailed(form);
    return false;
  }
  return true;
}

DownloadOutcome DownloadAndUnpack(Form& form) {
  return DownloadAndUnpack(form, DownloadPlace{RunDirectory(), [](const Text& archive, const Text& folder) {
                                                 return ZipDecompress(archive, folder);
                                               }});
}

DownloadOutcome DownloadAndUnpack(Form& form, const DownloadPlace& place) {
  static const Text kRar = ".rar";
  static const Text kExe = ".exe";
  static const Text kZip = ".zip";
  // The name comes from the share page: it may carry separators or nothing at all.
  const Text fileName = SafeFileName(g_fileName);
  DownloadOutcome outcome;
  if (fileName.empty()) {
    ShowSaveFailed(form);
    return outcome;
  }
  const Text savePath = place.runDirectory + "\\" + fileName;
  const Text folderName = ExtractFolderName(fileName);
  const Text extractFolder = place.runDirectory + "\\" + folderName + "\\";

  const bool rar = CountOccurrences(fileName, kRar) > 0;
  const bool exe = CountOccurrences(fileName, kExe) > 0;
  const bool zip = CountOccurrences(fileName, kZip) > 0;

  // Each branch downloads on its own; the first failure ends the command, so
  // that one click gives at most one failure message.
  const auto fetch = [&] {
    outcome.saved = FetchAndSave(form, savePath, place.progress);
    outcome.savePath = outcome.saved ? savePath : Text();
    return outcome.saved;
  };
  if (rar) {
    if (!fetch()) return outcome;
    if (!folderName.empty()) RunRarExtract(savePath, extractFolder, /*password=*/{}, /*overwrite=*/true);
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
  if (exe) {
    if (!fetch()) return outcome;
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
  if (zip) {
    if (!fetch()) return outcome;
    // -1 is the unpacker's own answer for a destination it cannot be given.
    const int result = folderName.empty() || !place.unzip ? -1 : place.unzip(savePath, extractFolder);
    outcome.unzipResult = result;
    if (!folderName.empty()) outcome.extractFolder = extractFolder;
    form.ShowMessage(DoneMessage() + " " + FormatInteger(result), DoneCaption());
  }
  if (!rar && !exe && !zip) {
    if (!fetch()) return outcome;
    form.ShowMessage(DoneMessage(), DoneCaption());
  }
  return outcome;
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
