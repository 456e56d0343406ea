// Runtime services on Linux and other POSIX systems.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/runtime.h"

extern char** environ;

namespace qm {
namespace {

// The desktop's opener for web addresses; found on PATH, so that a missing one
// is only a failed start.
constexpr const char* kUrlOpener = "xdg-open";

bool IsExplorer(std::string_view program) {
  if (program.size() != 8 && program.size() != 12) return false;
  std::string lower(program);
  for (char& c : lower) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
  return lower == "explorer" || lower == "explorer.exe";
}

pid_t Spawn(const std::vector<std::string>& items) {
  std::vector<char*> argv;
  for (const std::string& item : items) argv.push_back(const_cast<char*>(item.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// True when `program` is a path to an executable file or names one on PATH.
bool IsRunnable(const std::string& program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
    if (dir.empty()) dir = ".";
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

void WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Text RunDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  path.resize(slash == std::string::npos ? 0 : slash);
  return Utf8ToCp936(path);
}

void StartProgram(const Text& commandLine, int /*windowMode*/, bool waitForExit) {
  std::vector<std::string> items = SplitCommandLine(Cp936ToUtf8(commandLine));
  if (items.empty()) return;
  if (IsExplorer(items.front())) items.front() = kUrlOpener;
  if (!IsRunnable(items.front())) return;
  if (!waitForExit) {
    // A shell puts the program in the background and ends at once, so the
    // program is adopted by init and never lingers here as a zombie. No fork()
    // in this (threaded) process.
    items.insert(items.begin(), {"/bin/sh", "-c", "\"$0\" \"$@\" &"});
  }
  const pid_t pid = Spawn(items);
  if (pid > 0) WaitFor(pid);
}

}  // namespace qm
