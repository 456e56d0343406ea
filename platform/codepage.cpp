#include "platform/codepage.h"

#include <iconv.h>

#include <bit>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace qm {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

constexpr const char* kUtf16Name = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// iconv_open is costly next to the small texts converted here, so each thread
// keeps its two descriptors.
iconv_t Descriptor(bool toCp936) {
  thread_local IconvHandle to(iconv_open("CP936", kUtf16Name));
  thread_local IconvHandle from(iconv_open(kUtf16Name, "CP936"));
  void* cd = toCp936 ? to.get() : from.get();
  return cd == reinterpret_cast<void*>(-1) ? nullptr : static_cast<iconv_t>(cd);
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1, cp = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2, cp = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3, cp = b0 & 0x07, minimum = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    int taken = 0;
    while (taken < extra && i + 1 + taken < s.size() &&
           (static_cast<unsigned char>(s[i + 1 + taken]) & 0xC0) == 0x80) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + 1 + taken]) & 0x3F);
      ++taken;
    }
    if (taken < extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // One replacement for the bytes of the broken sequence, then resync.
      out.push_back(kReplacement);
      i += 1 + taken;
      continue;
    }
    AppendUtf16(out, cp);
    i += 1 + extra;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

Text Utf16ToCp936(std::u16string_view s) {
  Text out;
  iconv_t cd = Descriptor(true);
  if (s.empty() || cd == nullptr) return out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.resize(s.size() * 2 + 8);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(s.data()));
  std::size_t inLeft = s.size() * sizeof(char16_t);
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      const std::size_t used = out.size() - outLeft;
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
      continue;
    }
    // Not representable (EILSEQ) or cut short (EINVAL): the default character
    // stands for the whole UTF-16 character.
    if (outLeft < 1) {
      const std::size_t used = out.size() - outLeft;
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
    }
    *outPtr++ = '?';
    --outLeft;
    char16_t unit;
    std::memcpy(&unit, in, sizeof unit);
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4;
    const std::size_t skip = std::min(inLeft, pair ? std::size_t{4} : std::size_t{2});
    in += skip;
    inLeft -= skip;
  }
  out.resize(out.size() - outLeft);
  return out;
}

std::u16string Cp936ToUtf16(std::string_view s) {
  std::u16string out;
  iconv_t cd = Descriptor(false);
  if (s.empty() || cd == nullptr) return out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.resize(s.size() + 4);
  char* in = const_cast<char*>(s.data());
  std::size_t inLeft = s.size();
  char* outPtr = reinterpret_cast<char*>(out.data());
  std::size_t outLeft = out.size() * sizeof(char16_t);
  auto grow = [&] {
    const std::size_t used = out.size() * sizeof(char16_t) - outLeft;
    out.resize(out.size() * 2);
    outPtr = reinterpret_cast<char*>(out.data()) + used;
    outLeft = out.size() * sizeof(char16_t) - used;
  };
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      grow();
      continue;
    }
    if (outLeft < sizeof(char16_t)) grow();
    const char16_t replacement = kReplacement;
    std::memcpy(outPtr, &replacement, sizeof replacement);
    outPtr += sizeof replacement;
    outLeft -= sizeof replacement;
    // A lead byte swallows its partner unless that partner is plain ASCII.
    const bool lead = static_cast<unsigned char>(*in) >= 0x81 && inLeft >= 2 &&
                      static_cast<unsigned char>(in[1]) >= 0x40;
    const std::size_t skip = lead ? 2 : 1;
    in += skip;
    inLeft -= skip;
  }
  out.resize(out.size() - outLeft / sizeof(char16_t));
  return out;
}

Text Utf8ToCp936(std::string_view utf8) { return Utf16ToCp936(Utf8ToUtf16(utf8)); }

std::string Cp936ToUtf8(std::string_view cp936) { return Utf16ToUtf8(Cp936ToUtf16(cp936)); }

}  // namespace qm
