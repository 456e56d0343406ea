// Runtime services on Windows.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/runtime.h"

namespace qm {

Text RunDirectory() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  if (n == 0) return {};
  std::u16string path(reinterpret_cast<const char16_t*>(buffer), n);
  const std::size_t slash = path.find_last_of(u"\\/");
  path.resize(slash == std::u16string::npos ? 0 : slash);
  return Utf16ToCp936(path);
}

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};

// Pieces arrive small (a download gives a kilobyte at a time); the disk sees
// writes of a megabyte.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

bool WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min(size, kWritePiece));
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

struct PendingFile::Impl {
  std::filesystem::path target;
  std::wstring temporary;
  std::unique_ptr<void, HandleCloser> file;
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
  const DWORD attributes = GetFileAttributesW(f.target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  std::filesystem::path folder = f.target.parent_path();
  if (folder.empty()) folder = L".";
  // A name of our own in the same folder, so that the move is a rename;
  // CREATE_NEW never reuses a file that is there already.
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100 && !f.file; ++attempt) {
    f.temporary = (folder / (L".quillmere-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial++) + L".tmp"))
                      .wstring();
    HANDLE handle =
        CreateFileW(f.temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      f.file.reset(handle);
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (!f.file) f.temporary.clear();
  f.buffer.reserve(kWritePiece);
}

PendingFile::~PendingFile() {
  impl_->file.reset();
  if (!impl_->temporary.empty()) DeleteFileW(impl_->temporary.c_str());
}

bool PendingFile::Ok() const { return impl_->file != nullptr && !impl_->failed; }

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
  if (syncToDisk && !FlushFileBuffers(f.file.get())) return false;
  if (!CloseHandle(f.file.release())) return false;
  const DWORD moveFlags = MOVEFILE_REPLACE_EXISTING | (syncToDisk ? MOVEFILE_WRITE_THROUGH : 0);
  if (!MoveFileExW(f.temporary.c_str(), f.target.c_str(), moveFlags)) return false;
  f.temporary.clear();
  return true;
}

void StartProgram(const Text& commandLine, int windowMode, bool waitForExit) {
  std::u16string wide = Cp936ToUtf16(commandLine);
  wide.push_back(u'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(windowMode == kWindowNormal ? SW_SHOWNORMAL : SW_HIDE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(wide.data()), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return;
  }
  if (waitForExit) {
    WaitForSingleObject(process.hProcess, INFINITE);
  } else {
    WaitForInputIdle(process.hProcess, 1000);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace qm
