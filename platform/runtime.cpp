// The parts of the runtime that are the same on every system.
#include "platform/runtime.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/codepage.h"

namespace qm {
namespace {

std::vector<std::function<void()>>& Cleanups() {
  static std::vector<std::function<void()>> routines;
  return routines;
}

}  // namespace

std::filesystem::path NativePath(const Text& path) {
#ifdef _WIN32
  const std::u16string wide = Cp936ToUtf16(path);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#else
  std::string utf8 = Cp936ToUtf8(path);
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::path(utf8);
#endif
}

bool WriteBytesToFile(const Text& path, const Bytes& bytes) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  const std::filesystem::path native = NativePath(path);
  if (native.empty()) return false;
  std::unique_ptr<std::FILE, Closer> file(
#ifdef _WIN32
      _wfopen(native.c_str(), L"wb")
#else
      std::fopen(native.c_str(), "wb")
#endif
  );
  if (!file) return false;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  return std::fclose(file.release()) == 0;
}

bool SaveBytesAtomically(const Text& path, const Bytes& bytes, bool syncToDisk) {
  PendingFile file(path);
  return file.Ok() && file.Append(bytes.data(), bytes.size()) && file.Commit(syncToDisk);
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> items;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string item;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '\\') {
        // Backslashes are literal unless they precede a double quote.
        std::size_t n = 0;
        while (i < line.size() && line[i] == '\\') ++n, ++i;
        if (i < line.size() && line[i] == '"') {
          item.append(n / 2, '\\');
          if (n % 2 == 1) {
            item.push_back('"');
            continue;
          }
          --i;  // let the quote be handled below
        } else {
          item.append(n, '\\');
          --i;
        }
        continue;
      }
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && (c == ' ' || c == '\t')) break;
      item.push_back(c);
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::uint32_t TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void RegisterCleanup(std::function<void()> routine) { Cleanups().push_back(std::move(routine)); }

void RunCleanups() {
  auto& routines = Cleanups();
  while (!routines.empty()) {
    auto routine = std::move(routines.back());
    routines.pop_back();
    routine();
  }
}

void EndProgram(int exitCode) {
  RunCleanups();
  std::fflush(nullptr);
  std::exit(exitCode);
}

}  // namespace qm
