// Runtime services on Windows.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

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

bool SaveBytesAtomically(const Text& path, const Bytes& bytes, bool syncToDisk) {
  const std::filesystem::path target = NativePath(path);
  if (target.empty() || !target.has_filename()) return false;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = L".";

  struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
  };
  // A name of our own in the same folder, so that the move is a rename;
  // CREATE_NEW never reuses a file that is there already.
  static std::atomic<unsigned> serial{0};
  std::unique_ptr<void, HandleCloser> file;
  std::wstring temporary;
  for (int attempt = 0; attempt < 100 && !file; ++attempt) {
    temporary = (folder / (L".quillmere-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                           std::to_wstring(serial++) + L".tmp"))
                    .wstring();
    HANDLE handle =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.reset(handle);
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
      return false;
    }
  }
  if (!file) return false;
  struct Remover {
    std::wstring path;
    ~Remover() {
      if (!path.empty()) DeleteFileW(path.c_str());
    }
  } cleanup{temporary};

  const std::uint8_t* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(left, std::size_t{1} << 30));
    DWORD written = 0;
    if (!WriteFile(file.get(), data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    left -= written;
  }
  if (syncToDisk && !FlushFileBuffers(file.get())) return false;
  if (!CloseHandle(file.release())) return false;
  const DWORD moveFlags = MOVEFILE_REPLACE_EXISTING | (syncToDisk ? MOVEFILE_WRITE_THROUGH : 0);
  if (!MoveFileExW(temporary.c_str(), target.c_str(), moveFlags)) return false;
  cleanup.path.clear();
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
