// Runtime services on Linux and other POSIX systems.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

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

// Owns a file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  // Closes now, reporting the outcome (a delayed write error shows up here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes of 256 KB: one write of hundreds of megabytes is many times slower
// on some systems, and writes of a megabyte into the page cache now and then
// took four times as long as usual here, which 256 KB never did.
constexpr std::size_t kWritePiece = std::size_t{256} << 10;

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::min(size, kWritePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct PendingFile::Impl {
  std::filesystem::path target;
  std::filesystem::path folder;
  std::string temporary;
  UniqueFd file;
  // Pieces arrive small (a download gives a kilobyte at a time); the disk
  // sees writes of kWritePiece.
  std::vector<std::uint8_t> buffer;
  bool failed = false;

  bool Flush() {
    if (failed) return false;
    failed = !WriteAll(file.get(), buffer.data(), buffer.size());
    buffer.clear();
    return !failed;
  }
};

PendingFile::PendingFile(const Text& path) : impl_(std::make_unique<Impl>()) {
  Impl& f = *impl_;
  f.target = NativePath(path);
  if (f.target.empty() || !f.target.has_filename()) return;
  f.folder = f.target.parent_path();
  if (f.folder.empty()) f.folder = ".";
  struct stat info {};
  if (::stat(f.target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
  // A name of our own in the same folder, so that the rename stays on one
  // file system; O_EXCL never reuses a file that is there already.
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100 && f.file.get() < 0; ++attempt) {
    f.temporary = (f.folder / (".quillmere-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".tmp"))
                      .string();
    f.file = UniqueFd(::open(f.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (f.file.get() < 0 && errno != EEXIST) break;
  }
  if (f.file.get() < 0) f.temporary.clear();
  f.buffer.reserve(kWritePiece);
}

PendingFile::~PendingFile() {
  if (!impl_->temporary.empty()) ::unlink(impl_->temporary.c_str());
}

bool PendingFile::Ok() const { return impl_->file.get() >= 0 && !impl_->failed; }

bool PendingFile::Append(const std::uint8_t* data, std::size_t size) {
  Impl& f = *impl_;
  if (!Ok()) return false;
  if (f.buffer.size() + size > kWritePiece) {
    if (!f.Flush()) return false;
    if (size >= kWritePiece) {
      f.failed = !WriteAll(f.file.get(), data, size);
      return !f.failed;
    }
  }
  f.buffer.insert(f.buffer.end(), data, data + size);
  return true;
}

bool PendingFile::Commit(bool syncToDisk) {
  Impl& f = *impl_;
  if (!Ok() || !f.Flush()) return false;
  if (syncToDisk && ::fsync(f.file.get()) != 0) return false;
  if (!f.file.Close()) return false;
  if (::rename(f.temporary.c_str(), f.target.c_str()) != 0) return false;
  f.temporary.clear();
  if (syncToDisk) {
    // The rename itself lives in the folder.
    UniqueFd dir(::open(f.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
  }
  return true;
}

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
