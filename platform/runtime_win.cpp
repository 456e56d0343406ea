// Runtime services on Windows.
#include <windows.h>
#include <shellapi.h>

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
