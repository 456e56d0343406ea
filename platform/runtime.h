// Services of the application runtime: where the program lives, files, other
// programs, time, and the end of the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace qm {

// The folder of the program's executable, without a trailing separator.
Text RunDirectory();

// The system builds paths with backslashes and in code page 936; this turns
// such a path into one the file system takes.
std::filesystem::path NativePath(const Text& path);

// Creates or truncates the file and writes the bytes; false on any failure.
bool WriteBytesToFile(const Text& path, const Bytes& bytes);

// A file that takes the place of the one at `path` only once it is whole:
// the bytes go to a new hidden file in the same folder (".quillmere-*.tmp"),
// which Commit renames over the target. Until then, and whenever something
// fails, the target keeps its old content; an uncommitted new file is removed
// when the object goes. A target that is a folder, or in a folder that does
// not exist, is refused at once (Ok() false).
class PendingFile {
 public:
  explicit PendingFile(const Text& path);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool Ok() const;
  // Buffered; false once a write failed (a full disk, a size limit).
  bool Append(const std::uint8_t* data, std::size_t size);
  // Writes what is buffered and renames the file into place. With
  // `syncToDisk` the file (and the rename) reach the disk first.
  bool Commit(bool syncToDisk);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Replaces the file at `path` with `bytes` as one step (a PendingFile).
// False on any failure, with the target untouched.
bool SaveBytesAtomically(const Text& path, const Bytes& bytes, bool syncToDisk = true);

// Window modes of a started program.
inline constexpr int kWindowHidden = 0;
inline constexpr int kWindowNormal = 1;

// Starts a program from a command line whose first item names it, quoted
// items as on Windows. `explorer` with a web address opens the address with
// the desktop's URL opener. Failures are ignored. With `waitForExit` the call
// returns when the program has ended.
void StartProgram(const Text& commandLine, int windowMode, bool waitForExit);

// The items of a command line, split and unquoted by the Windows rules.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Milliseconds of a monotonic clock, wrapping like a 32-bit tick counter.
std::uint32_t TickCount();

// Routines run once, newest first, when the program ends through EndProgram
// or RunCleanups.
void RegisterCleanup(std::function<void()> routine);
void RunCleanups();

// Runs the clean-up routines and ends the process with `exitCode`.
[[noreturn]] void EndProgram(int exitCode);

}  // namespace qm
