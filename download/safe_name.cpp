#include "download/safe_name.h"

#include <string_view>

namespace qm {
namespace {

bool IsLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
bool IsTrailByte(unsigned char b) { return b >= 0x40 && b <= 0xFE && b != 0x7F; }

bool IsRefusedSingleByte(unsigned char b) {
  static constexpr std::string_view kRefused = "/\\<>:\"|?*";
  return b < 0x20 || b == 0x7F || b >= 0x80 || kRefused.find(static_cast<char>(b)) != std::string_view::npos;
}

}  // namespace

Text SafeFileName(const Text& name) {
  Text out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(b) && i + 1 < name.size() && IsTrailByte(static_cast<unsigned char>(name[i + 1]))) {
      out.push_back(name[i]);
      out.push_back(name[i + 1]);
      ++i;
      continue;
    }
    out.push_back(IsRefusedSingleByte(b) ? '_' : name[i]);
  }
  if (out == "." || out == "..") return {};
  return out;
}

}  // namespace qm
