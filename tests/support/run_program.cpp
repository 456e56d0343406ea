#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace qm::test {
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  ProgramResult result;
  if (argv.empty()) return result;
  Fd outRead, outWrite, errRead, errWrite;
  if (!MakePipe(outRead, outWrite)) return result;
  if (options.errorsOnTerminal) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    errRead.Reset(master);
    errWrite.Reset(slave);
  } else if (!MakePipe(errRead, errWrite)) {
    return result;
  }

  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), outWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), errWrite.get(), STDERR_FILENO);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory.c_str());
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = argv[0].find('/') == std::string::npos
                          ? posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ)
                          : posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  // Our copies of the write ends go, so that the reads end with the program.
  outWrite.Reset();
  errWrite.Reset();
  if (spawned != 0) return result;

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool outOpen = true;
  bool errOpen = true;
  bool interrupted = options.interruptWhenErrorHas == nullptr;
  while (outOpen || errOpen) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd fds[2] = {{outOpen ? outRead.get() : -1, POLLIN, 0}, {errOpen ? errRead.get() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      // A terminal's master reads EIO once the program's side is closed.
      if (n <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
        continue;
      }
      (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
    }
    if (!interrupted && result.err.find(options.interruptWhenErrorHas) != std::string::npos) {
      interrupted = true;
      ::kill(pid, SIGINT);
    }
  }

  int status = 0;
  if (result.timedOut) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  // Both streams closed: the program is ending; reap it within the bound.
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace qm::test
