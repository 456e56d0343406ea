// The small text routines that meet network text, with arbitrary input, and
// the promises that hold for every input.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "download/safe_name.h"
#include "http/cookies.h"
#include "platform/runtime.h"
#include "platform/text.h"
#include "resolve/resolver.h"
#include "resolve/text_routines.h"

namespace {

// Splits the input at zero bytes into up to four parts.
std::vector<std::string> Parts(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 4) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  parts.resize(4);
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> p = Parts(data, size);
  const int number = p[3].empty() ? 1 : static_cast<signed char>(p[3][0]);

  (void)qm::TextBetween(p[0], p[1], p[2], number);
  (void)qm::TextBefore(p[0], p[1], number, true);
  (void)qm::CountOccurrences(p[0], p[1]);
  (void)qm::DropLastChars(p[0], number);
  (void)qm::Utf8ToLocalText(qm::Bytes(p[0].begin(), p[0].end()));
  (void)qm::Find(p[0], p[1], number, true);
  (void)qm::Mid(p[0], number, number);
  (void)qm::Replace(p[0], p[1], p[2], true);
  (void)qm::Split(p[0], p[1]);
  (void)qm::Trim(p[0]);

  std::string oldCookies = p[0], newCookies = p[1];
  (void)qm::MergeCookies(oldCookies, newCookies);

  const std::string target = qm::RedirectTarget(p[0]);
  if (target.find("\r\n") != std::string::npos) __builtin_trap();  // one header line at most

  const std::string origin = qm::ServiceOrigin(p[0]);
  if (origin.empty() || origin.back() != '/' || origin.find("://") == std::string::npos) __builtin_trap();

  const std::string name = qm::SafeFileName(p[0]);
  if (name == "." || name == "..") __builtin_trap();
  for (const char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) __builtin_trap();
  }
  // Joined as the download command joins it, the name stays one component
  // of the folder.
  if (!name.empty()) {
    const std::filesystem::path saved = qm::NativePath("/tmp/run\\" + name);
    if (saved.parent_path() != "/tmp/run" || saved.filename().empty()) __builtin_trap();
  }
  return 0;
}
