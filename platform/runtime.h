// Services of the application runtime: where the program lives, files, other
// programs, time, and the end of the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Replaces the file at `path` with `bytes` as one step: the bytes go to a new
// file in the same folder, which is then renamed over the target, so the
// target holds either its old content or all of the new, never a part (a
// crash or a full disk leaves at most a hidden ".quillmere-*.tmp" file). With
// `syncToDisk` the new file (and the rename) reach the disk before it
// returns. False on any failure, with the target untouched; a target that is
// a folder is refused.
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
