// Runs a program of ours to its end, as a shell would, and keeps what it
// said: standard output, standard error and the exit status. Every wait has
// a bound; a program that outlives it is killed.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qm::test {

struct ProgramOptions {
  std::string workingDirectory;  // empty: the test's own
  // Standard error on a pseudo-terminal instead of a pipe, so that the
  // program sees a terminal there (its output then has "\r\n" line ends).
  bool errorsOnTerminal = false;
  std::chrono::milliseconds timeout{60000};
  // Sends SIGINT once, as Ctrl-C would, when standard error first holds this.
  const char* interruptWhenErrorHas = nullptr;
};

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not end by itself within the bound, or did not start
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Starts `argv[0]` (a path, or a name searched in PATH) with standard input
// from /dev/null and waits for it.
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

}  // namespace qm::test
