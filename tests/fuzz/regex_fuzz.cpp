// Arbitrary patterns over arbitrary subjects: the regular-expression object
// never crashes, and every match it reports lies inside the subject.
#include <cstdint>
#include <string>

#include "script/regex_object.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t cut = rest.find('\0');
  const std::string pattern = rest.substr(0, cut);
  const std::string subject = cut == std::string::npos ? std::string() : rest.substr(cut + 1);

  qm::RegexObject regex;
  regex.Compile(pattern, subject, (flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0);
  const std::int32_t count = regex.GetMatchCount();
  for (std::int32_t i = 1; i <= count && i <= 8; ++i) {
    std::int32_t position = 0;
    const std::string match = regex.GetMatchText(i, &position);
    if (position != -2 && (position < 0 || static_cast<std::size_t>(position) > subject.size()))
      __builtin_trap();
    for (std::int32_t g = 1; g <= regex.GetSubmatchCount() && g <= 4; ++g)
      (void)regex.GetSubmatchText(i, g, &position);
  }
  (void)regex.ReplaceMatches("<$1>");
  return 0;
}
