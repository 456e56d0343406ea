// The ZIP component's file services on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

#include "platform/zip_files.h"

namespace qm::zipfiles {
namespace {

namespace fs = std::filesystem;

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // False when close reports an error (a late write error on some systems).
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = std::exchange(fd_, -1);
    return close(fd) == 0;
  }

 private:
  int fd_;
};

class PosixReadMapping final : public ReadMapping {
 public:
  PosixReadMapping(Fd fd, const std::uint8_t* data, std::uint64_t size) : fd_(std::move(fd)) {
    data_ = data;
    size_ = size;
  }
  ~PosixReadMapping() override {
    if (size_ > 0) munmap(const_cast<std::uint8_t*>(data_), size_);
  }

  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) const override {
    while (count > 0) {
      const ssize_t n = pread(fd_.get(), buffer, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer += n;
      offset += static_cast<std::uint64_t>(n);
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  Fd fd_;
};

class PosixWriteMapping final : public WriteMapping {
 public:
  PosixWriteMapping(std::uint8_t* data, std::uint64_t size) {
    data_ = data;
    size_ = size;
  }
  ~PosixWriteMapping() override { munmap(data_, size_); }

  bool Prefault(std::uint64_t offset, std::uint64_t length) override {
#ifdef MADV_POPULATE_WRITE
    if (offset >= size_) return true;
    if (length > size_ - offset) length = size_ - offset;
    return madvise(data_ + offset, length, MADV_POPULATE_WRITE) == 0;
#else
    (void)offset;
    (void)length;
    return false;
#endif
  }
};

std::atomic<unsigned> g_tempCounter{0};

std::string TempToken() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

class PosixOutputFile final : public OutputFile {
 public:
  // `writtenPath` is `finalPath` or a temporary name beside it.
  PosixOutputFile(Fd fd, fs::path writtenPath, fs::path finalPath)
      : fd_(std::move(fd)), writtenPath_(std::move(writtenPath)), finalPath_(std::move(finalPath)) {}
  ~PosixOutputFile() override {
    if (!committed_) {
      fd_.Close();
      unlink(writtenPath_.c_str());
    }
  }

  bool Write(const std::uint8_t* bytes, std::size_t count) override {
    while (count > 0) {
      const ssize_t n = write(fd_.get(), bytes, count);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      bytes += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }

  std::unique_ptr<WriteMapping> MapForWriting(std::uint64_t size) override {
#ifdef __linux__
    if (size == 0 || size > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
    // Reserving the blocks first means a full disk shows up here, as an error,
    // and never later as a fault while the inflater writes into the mapping.
    // (Not posix_fallocate: where the file system cannot reserve, it writes
    // zeros block by block.)
    if (fallocate(fd_.get(), 0, 0, static_cast<off_t>(size)) != 0) return nullptr;
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
    if (data == MAP_FAILED) {
      static_cast<void>(ftruncate(fd_.get(), 0));  // the caller writes from the start instead
      return nullptr;
    }
    return std::make_unique<PosixWriteMapping>(static_cast<std::uint8_t*>(data), size);
#else
    (void)size;
    return nullptr;
#endif
  }

  bool Commit(std::optional<std::int64_t> modified) override {
    if (modified) {
      const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*modified), 0}};
      futimens(fd_.get(), times);  // a time that cannot be set is no reason to fail
    }
    if (!fd_.Close()) return false;
    // rename() replaces the old file whatever its permissions, so a read-only
    // file is overwritten without touching its mode; a link there is replaced,
    // not followed.
    if (writtenPath_ != finalPath_ && rename(writtenPath_.c_str(), finalPath_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  Fd fd_;
  fs::path writtenPath_;
  fs::path finalPath_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<ReadMapping> MapForReading(const fs::path& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size == 0) return std::make_unique<PosixReadMapping>(std::move(fd), nullptr, 0);
  if (size > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (data == MAP_FAILED) return nullptr;
  return std::make_unique<PosixReadMapping>(std::move(fd), static_cast<const std::uint8_t*>(data), size);
}

std::unique_ptr<OutputFile> CreateOutputFile(const fs::path& finalPath, bool executable, bool checked) {
  const mode_t mode = executable ? 0777 : 0666;  // the umask applies
  constexpr int kFlags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (checked) {
    Fd fd(open(finalPath.c_str(), kFlags, mode));
    if (fd.valid()) return std::make_unique<PosixOutputFile>(std::move(fd), finalPath, finalPath);
    if (errno != EEXIST) return nullptr;
  }
  // Unguessable, so that an entry cannot be named like another's temporary file.
  static const std::string prefix = ".qmz-" + TempToken() + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path temp = finalPath.parent_path() / (prefix + std::to_string(g_tempCounter.fetch_add(1)) + ".tmp");
    Fd fd(open(temp.c_str(), kFlags, mode));
    if (fd.valid()) return std::make_unique<PosixOutputFile>(std::move(fd), std::move(temp), finalPath);
    if (errno != EEXIST) return nullptr;  // a leftover of an earlier run: try the next name
  }
  return nullptr;
}

FolderState MakeFolder(const fs::path& path) {
  if (mkdir(path.c_str(), 0777) == 0) return FolderState::kReady;
  if (errno != EEXIST) return FolderState::kBlocked;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return FolderState::kBlocked;
  return FolderState::kReady;
}

std::optional<std::uint64_t> FreeSpace(const fs::path& path) {
  struct statvfs st {};
  if (statvfs(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace qm::zipfiles
