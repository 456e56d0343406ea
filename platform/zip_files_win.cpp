// The ZIP component's file services on Windows.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <random>
#include <string>
#include <utility>

#include "platform/zip_files.h"

namespace qm::zipfiles {
namespace {

namespace fs = std::filesystem;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle Own(HANDLE handle) { return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }

struct ViewUnmapper {
  void operator()(void* view) const { UnmapViewOfFile(view); }
};
using View = std::unique_ptr<void, ViewUnmapper>;

class WinReadMapping final : public ReadMapping {
 public:
  WinReadMapping(Handle file, View view, std::uint64_t size)
      : file_(std::move(file)), view_(std::move(view)) {
    data_ = static_cast<const std::uint8_t*>(view_.get());
    size_ = size;
  }

  bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) const override {
    while (count > 0) {
      OVERLAPPED at{};  // a positioned read, safe beside other threads' reads
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(file_.get(), buffer, want, &got, &at) || got == 0) return false;
      buffer += got;
      offset += got;
      count -= got;
    }
    return true;
  }

 private:
  Handle file_;
  View view_;
};

class WinWriteMapping final : public WriteMapping {
 public:
  WinWriteMapping(Handle mapping, View view, std::uint64_t size)
      : mapping_(std::move(mapping)), view_(std::move(view)) {
    data_ = static_cast<std::uint8_t*>(view_.get());
    size_ = size;
  }
  bool Prefault(std::uint64_t, std::uint64_t) override { return false; }

 private:
  Handle mapping_;
  View view_;
};

std::atomic<unsigned> g_tempCounter{0};

std::wstring TempToken() {
  std::random_device random;
  wchar_t text[17];
  std::swprintf(text, 17, L"%08x%08x", random(), random());
  return text;
}

class WinOutputFile final : public OutputFile {
 public:
  WinOutputFile(Handle file, fs::path writtenPath, fs::path finalPath)
      : file_(std::move(file)), writtenPath_(std::move(writtenPath)), finalPath_(std::move(finalPath)) {}
  ~WinOutputFile() override {
    if (!committed_) {
      file_.reset();
      DeleteFileW(writtenPath_.c_str());
    }
  }

  bool Write(const std::uint8_t* bytes, std::size_t count) override {
    while (count > 0) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
      DWORD done = 0;
      if (!WriteFile(file_.get(), bytes, want, &done, nullptr) || done == 0) return false;
      bytes += done;
      count -= done;
    }
    return true;
  }

  std::unique_ptr<WriteMapping> MapForWriting(std::uint64_t size) override {
    if (size == 0 || size > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
    // Setting the end of the file allocates its clusters, so a full disk shows
    // up here and not as a fault while the inflater writes into the view.
    if (!Resize(size)) return nullptr;
    Handle mapping(CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                      static_cast<DWORD>(size), nullptr));
    View view(mapping ? MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size))
                      : nullptr);
    if (!view) {
      Resize(0);  // the caller writes from the start instead
      return nullptr;
    }
    return std::make_unique<WinWriteMapping>(std::move(mapping), std::move(view), size);
  }

  bool Commit(std::optional<std::int64_t> modified) override {
    if (modified) {
      // 100-nanosecond intervals since 1601.
      const std::uint64_t ticks = static_cast<std::uint64_t>(*modified + 11644473600LL) * 10000000ULL;
      FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
      SetFileTime(file_.get(), nullptr, nullptr, &time);  // a time that cannot be set is no reason to fail
    }
    if (!CloseHandle(file_.release())) return false;
    if (writtenPath_ != finalPath_) {
      // Windows refuses to replace a read-only file: clear the attribute first.
      const DWORD attributes = GetFileAttributesW(finalPath_.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(finalPath_.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
      }
      if (!MoveFileExW(writtenPath_.c_str(), finalPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    }
    committed_ = true;
    return true;
  }

 private:
  bool Resize(std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) return false;
    at.QuadPart = 0;
    return SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) != 0;
  }

  Handle file_;
  fs::path writtenPath_;
  fs::path finalPath_;
  bool committed_ = false;
};

Handle CreateNew(const fs::path& path) {
  return Own(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::unique_ptr<ReadMapping> MapForReading(const fs::path& path) {
  Handle file = Own(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return nullptr;
  const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
  if (bytes == 0) return std::make_unique<WinReadMapping>(std::move(file), View(), 0);
  if (bytes > static_cast<std::uint64_t>(SIZE_MAX)) return nullptr;
  // The view keeps the mapping object alive after its handle is closed.
  const Handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return nullptr;
  View view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return nullptr;
  return std::make_unique<WinReadMapping>(std::move(file), std::move(view), bytes);
}

std::unique_ptr<OutputFile> CreateOutputFile(const fs::path& finalPath, bool /*executable*/, bool checked) {
  if (checked) {
    if (Handle file = CreateNew(finalPath)) {
      return std::make_unique<WinOutputFile>(std::move(file), finalPath, finalPath);
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
  }
  // Unguessable, so that an entry cannot be named like another's temporary file.
  static const std::wstring prefix = L".qmz-" + TempToken() + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path temp =
        finalPath.parent_path() / (prefix + std::to_wstring(g_tempCounter.fetch_add(1)) + L".tmp");
    if (Handle file = CreateNew(temp)) {
      return std::make_unique<WinOutputFile>(std::move(file), std::move(temp), finalPath);
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;  // else a leftover of an earlier run
  }
  return nullptr;
}

FolderState MakeFolder(const fs::path& path) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return FolderState::kReady;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return FolderState::kBlocked;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return FolderState::kBlocked;  // a file, or a junction or link that could lead outside
  }
  return FolderState::kReady;
}

std::optional<std::uint64_t> FreeSpace(const fs::path& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

}  // namespace qm::zipfiles
