// quillmere-cli: the road of the window program from the command line, for
// servers, scripts and SSH sessions. The same resolver, download command and
// ZIP component; a terminal view stands in for the window.
//
//   quillmere-cli resolve SHARE_URL
//   quillmere-cli get SHARE_URL [-C DIR]
//   quillmere-cli unzip ARCHIVE DEST
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "app/program_state.h"
#include "cli/terminal_form.h"
#include "download/download_command.h"
#include "platform/busy.h"
#include "platform/codepage.h"
#include "platform/runtime.h"
#include "platform/zip.h"
#include "resolve/resolver.h"

#ifndef QUILLMERE_VERSION
#define QUILLMERE_VERSION "unknown"
#endif

namespace qm {
namespace {

constexpr const char* kProgram = "quillmere-cli";

// Exit statuses; the help text lists them.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotUnpacked = 3;  // the ZIP component answered 0
constexpr int kExitNoArchive = 4;    // the ZIP component answered -1
constexpr int kExitInterrupted = 130;  // as a shell reports Ctrl-C

void OnInterrupt(int signal) {
  std::signal(signal, SIG_DFL);
  RequestStop();
}

constexpr const char* kHelp =
    "usage: quillmere-cli resolve SHARE_URL\n"
    "       quillmere-cli get SHARE_URL [-C DIR]\n"
    "       quillmere-cli unzip ARCHIVE DEST\n"
    "       quillmere-cli --help | --version\n"
    "\n"
    "Turns a cloud-drive share link into its file, as the Quillmere window does.\n"
    "\n"
    "  resolve  print the direct download address of the shared file\n"
    "  get      download the shared file into DIR (default: the current folder)\n"
    "           and unpack a ZIP archive into a folder named after it; prints\n"
    "           the saved file, and the folder, on standard output\n"
    "  unzip    unpack ARCHIVE into the folder DEST (made when missing)\n"
    "\n"
    "Messages and progress go to standard error, in UTF-8. Paths are UTF-8.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the link did not resolve, or the file was not downloaded or saved\n"
    "  2  bad command line\n"
    "  3  the archive was not unpacked whole: no ZIP archive, damaged, an entry\n"
    "     refused or not written (the ZIP component's result 0)\n"
    "  4  no archive or no folder to unpack into (the ZIP component's result -1)\n"
    "  130  interrupted (Ctrl-C): nothing half-downloaded is left, an earlier\n"
    "       file of the same name stays as it was\n";

int UsageError(const std::string& why) {
  std::cerr << kProgram << ": " << why << "\n"
            << "Try '" << kProgram << " --help'.\n";
  return kExitUsage;
}

// A text from outside (an archive's entry name, an address from a server)
// that is about to reach a terminal: no control characters, which could
// move the cursor or retitle the window.
std::string Printable(std::string text, bool percentEncode = false) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F && !(percentEncode && byte == ' ')) {
      out.push_back(c);
    } else if (percentEncode) {
      static const char kHex[] = "0123456789ABCDEF";
      out += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    } else {
      out.push_back('?');
    }
  }
  return out;
}

// A path of the command line (UTF-8) as the system's texts hold it (code
// page 936). Refused when the conversion would name another file: a
// character code page 936 lacks, or, outside Windows, a backslash, which
// the system's paths take for a separator.
std::optional<Text> PathText(const std::string& utf8, std::string& why) {
  const Text text = Utf8ToCp936(utf8);
  if (Cp936ToUtf8(text) != utf8) {
    why = Printable(utf8) + ": the path holds characters this tool cannot name (code page 936)";
    return std::nullopt;
  }
#ifndef _WIN32
  if (utf8.find('\\') != std::string::npos) {
    why = Printable(utf8) + ": the path holds a backslash, which this tool takes for a separator";
    return std::nullopt;
  }
#endif
  return text;
}

std::string DisplayPath(const Text& path) { return NativePath(path).string(); }

const char* ProblemText(ZipProblem problem) {
  switch (problem) {
    case ZipProblem::kNone:
      return "unpacked";
    case ZipProblem::kEmptyPath:
      return "a path is empty";
    case ZipProblem::kNoArchive:
      return "no such archive";
    case ZipProblem::kFolderNotCreated:
      return "the folder cannot be made";
    case ZipProblem::kNotZip:
      return "not a ZIP archive";
    case ZipProblem::kUnreadable:
      return "cannot be read as a ZIP archive";
    case ZipProblem::kTooLarge:
      return "the entries would not fit on the disk";
    case ZipProblem::kUnsafeName:
      return "its name leaves the folder or holds control characters";
    case ZipProblem::kLink:
      return "a link or another special file";
    case ZipProblem::kEncrypted:
      return "encrypted";
    case ZipProblem::kUnsupportedMethod:
      return "compressed in a way this tool cannot unpack";
    case ZipProblem::kDamaged:
      return "damaged";
    case ZipProblem::kConflict:
      return "a file and a folder of the same name";
    case ZipProblem::kNotWritten:
      return "could not be written";
  }
  return "failed";
}

// Why an archive was not unpacked whole: the archive's own problem, or the
// entries that were left out.
void ReportZip(const Text& archivePath, int result, const ZipReport& report) {
  if (result == 1) return;
  if (report.failures.empty()) {
    std::cerr << kProgram << ": " << DisplayPath(archivePath) << ": " << ProblemText(report.problem) << "\n";
    return;
  }
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < report.failures.size() && i < kShown; ++i) {
    const ZipEntryFailure& failure = report.failures[i];
    std::cerr << kProgram << ": " << Printable(failure.name)
              << ": not unpacked: " << ProblemText(failure.problem) << "\n";
  }
  if (report.failures.size() > kShown) {
    std::cerr << kProgram << ": and " << report.failures.size() - kShown << " more entries not unpacked\n";
  }
}

int ExitForZipResult(int result) {
  return result == 1 ? kExitDone : result == 0 ? kExitNotUnpacked : kExitNoArchive;
}

// Runs the resolver as the resolve button does. True when it gave a direct
// address; otherwise the reason is on standard error.
bool Resolve(const std::string& shareUrl, TerminalForm& form) {
  static const Text kResolveFailed = Cp936("解析失败");
  g_shareUrl = Utf8ToCp936(shareUrl);
  const int messagesBefore = form.MessagesShown();
  ResolveShareLink(g_shareUrl, form);
  if (StopRequested()) return false;
  if (form.MessagesShown() > messagesBefore) return false;  // it said so itself
  if (g_directUrl.empty()) {
    // The window says nothing here and only empties its box; a script must hear it.
    std::cerr << Cp936ToUtf8(kResolveFailed) << ": the share service gave no direct address\n";
    return false;
  }
  return true;
}

int RunResolve(const std::string& shareUrl, TerminalForm& form) {
  if (!Resolve(shareUrl, form)) return kExitFailed;
  std::cout << Printable(Cp936ToUtf8(g_directUrl), /*percentEncode=*/true) << "\n";
  return kExitDone;
}

int RunGet(const std::string& shareUrl, const Text& folder, TerminalForm& form) {
  if (!Resolve(shareUrl, form)) return kExitFailed;
  ZipReport report;
  Text archive;
  DownloadPlace place{
      folder,
      [&](const Text& archivePath, const Text& destinationFolder) {
        archive = archivePath;
        return ZipDecompress(archivePath, destinationFolder, &report);
      },
      [&form](std::int32_t total, std::int32_t received, std::int32_t elapsed, std::int32_t sinceStart) {
        form.Progress(total, received, elapsed, sinceStart);
      }};
  const DownloadOutcome outcome = DownloadAndUnpack(form, place);
  form.FinishProgress();
  if (!outcome.saved) return kExitFailed;
  std::cout << DisplayPath(outcome.savePath) << "\n";
  if (!outcome.unzipResult) return kExitDone;
  if (*outcome.unzipResult == 1) {
    std::cout << DisplayPath(outcome.extractFolder) << "\n";
  } else if (!archive.empty()) {
    ReportZip(archive, *outcome.unzipResult, report);
  } else {
    std::cerr << kProgram << ": " << DisplayPath(outcome.savePath)
              << ": no folder name is left to unpack into\n";
  }
  return ExitForZipResult(*outcome.unzipResult);
}

int RunUnzip(const Text& archive, const Text& destination) {
  ZipReport report;
  const int result = ZipDecompress(archive, destination, &report);
  ReportZip(archive, result, report);
  return ExitForZipResult(result);
}

bool StandardErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) == 1;
#endif
}

int Run(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return kExitDone;
    }
    if (arg == "--version") {
      std::cout << kProgram << " " << QUILLMERE_VERSION << "\n";
      return kExitDone;
    }
  }
  if (args.empty()) return UsageError("no command given");
  const std::string& command = args[0];
  if (command != "resolve" && command != "get" && command != "unzip") {
    return UsageError("unknown command '" + Printable(command) + "'");
  }

  std::vector<std::string> operands;
  std::optional<std::string> folderArg;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && command == "get" && arg == "-C") {
      if (i + 1 == args.size()) return UsageError("-C needs a folder");
      folderArg = args[++i];
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option '" + Printable(arg) + "'");
    } else {
      operands.push_back(arg);
    }
  }
  const std::size_t wanted = command == "unzip" ? 2 : 1;
  if (operands.size() != wanted) {
    return UsageError(command + " takes " + (command == "unzip" ? "ARCHIVE and DEST" : "one SHARE_URL"));
  }

  // Paths are checked before anything goes over the network.
  std::string why;
  std::optional<Text> archive;
  std::optional<Text> destination;
  std::optional<Text> folder;
  if (command == "unzip") {
    archive = PathText(operands[0], why);
    if (archive) destination = PathText(operands[1], why);
    if (!destination) return UsageError(why);
  } else if (command == "get") {
    const std::string folderUtf8 = folderArg.value_or(".");
    if (folderUtf8.empty()) return UsageError("-C needs a folder");
    folder = PathText(folderUtf8, why);
    if (!folder) return UsageError(why);
    std::error_code ec;
    if (!std::filesystem::is_directory(NativePath(*folder), ec)) {
      return UsageError(Printable(folderUtf8) + ": no such folder");
    }
    // The file goes after a separator of its own ("/" is never the second
    // byte of a double-byte character; "/" itself becomes "" and so "\NAME").
    while (!folder->empty() && folder->back() == '/') folder->pop_back();
  }

  RegisterCleanup(ReleaseProgramState);
  int status = kExitDone;
  if (command == "unzip") {
    status = RunUnzip(*archive, *destination);
  } else {
    // Ctrl-C stops the network work, so that the download's temporary file
    // is removed and an earlier file stays whole; a second one ends at once.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    TerminalForm form(std::cerr, StandardErrorIsTerminal());
    status = command == "resolve" ? RunResolve(operands[0], form) : RunGet(operands[0], *folder, form);
    if (StopRequested()) {
      std::cout.flush();
      std::cerr << kProgram << ": interrupted\n";
      status = kExitInterrupted;
    }
  }
  std::cout.flush();
  RunCleanups();
  return status;
}

}  // namespace
}  // namespace qm

int main(int argc, char** argv) {
#ifdef _WIN32
  // The messages are UTF-8; the console shows them as such only when told.
  SetConsoleOutputCP(CP_UTF8);
#endif
  return qm::Run(std::vector<std::string>(argv + 1, argv + argc));
}
