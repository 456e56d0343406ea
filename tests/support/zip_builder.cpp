#include "tests/support/zip_builder.h"

#include <zlib.h>

#include <stdexcept>

namespace qm::test {
namespace {

void Put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Put64(std::string& out, std::uint64_t v) {
  Put32(out, static_cast<std::uint32_t>(v));
  Put32(out, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::uint32_t kDosTime = (kZipHour << 11) | (kZipMinute << 5) | (kZipSecond / 2);
constexpr std::uint32_t kDosDate = ((kZipYear - 1980) << 9) | (kZipMonth << 5) | kZipDay;

}  // namespace

ZipItem ZipFile(std::string name, std::string data, bool deflate) {
  ZipItem item;
  item.name = std::move(name);
  item.data = std::move(data);
  item.deflate = deflate;
  item.external = 0100644u << 16;
  return item;
}

ZipItem ZipFolder(std::string name) {
  ZipItem item;
  item.name = std::move(name);
  item.deflate = false;
  item.external = (040755u << 16) | 0x10;
  return item;
}

ZipItem ZipLink(std::string name, std::string target) {
  ZipItem item;
  item.name = std::move(name);
  item.data = std::move(target);
  item.deflate = false;
  item.external = 0120777u << 16;
  return item;
}

std::string UnicodePathExtra(const std::string& rawName, const std::string& utf8Name) {
  std::string extra;
  Put16(extra, 0x7075);
  Put16(extra, static_cast<std::uint32_t>(5 + utf8Name.size()));
  extra.push_back(1);
  Put32(extra, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(rawName.data()),
                                                static_cast<uInt>(rawName.size()))));
  extra += utf8Name;
  return extra;
}

std::string Deflate(const std::string& data) {
  z_stream s{};
  if (deflateInit2(&s, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflate");
  std::string out(deflateBound(&s, data.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::string NoiseBytes(std::size_t count, std::uint32_t seed) {
  std::string out(count, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (char& c : out) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

std::string TextBytes(std::size_t count, std::uint32_t seed) {
  static const char* const kWords[] = {"lorem", "ipsum",   "dolor",  "sit",     "amet",
                                       "quill", "mere",    "zip",    "archive", "folder",
                                       "entry", "deflate", "stored", "name",    "byte"};
  std::string out;
  out.reserve(count + 16);
  std::uint32_t x = seed * 2654435761u + 1;
  while (out.size() < count) {
    x = x * 1103515245u + 12345u;
    out += kWords[(x >> 16) % (sizeof kWords / sizeof *kWords)];
    out += (x & 0x100) != 0 ? ' ' : '\n';
  }
  out.resize(count);
  return out;
}

std::string BuildZip(const std::vector<ZipItem>& items) {
  std::string archive;
  std::string central;
  bool anyZip64 = false;
  for (const ZipItem& item : items) {
    const bool raw = item.method.has_value();
    const std::string stored = raw || !item.deflate ? item.data : Deflate(item.data);
    const std::uint16_t method = raw ? *item.method : (item.deflate ? 8 : 0);
    const std::uint32_t crc = item.crc.value_or(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(item.data.data()), static_cast<uInt>(item.data.size()))));
    const std::uint64_t size = item.size.value_or(item.data.size());
    const std::uint64_t compressed = stored.size();
    const std::uint64_t offset = archive.size();
    const std::uint16_t needed = item.zip64 ? 45 : 20;
    anyZip64 = anyZip64 || item.zip64;

    std::string localExtra = item.extra;
    std::string centralExtra = item.extra;
    if (item.zip64) {
      std::string z;
      Put16(z, 0x0001);
      Put16(z, 16);
      Put64(z, size);
      Put64(z, compressed);
      localExtra += z;
      std::string c;
      Put16(c, 0x0001);
      Put16(c, 24);
      Put64(c, size);
      Put64(c, compressed);
      Put64(c, offset);
      centralExtra += c;
    }

    Put32(archive, 0x04034b50);
    Put16(archive, needed);
    Put16(archive, item.flags);
    Put16(archive, method);
    Put16(archive, kDosTime);
    Put16(archive, kDosDate);
    Put32(archive, crc);
    Put32(archive, item.zip64 ? kMax32 : static_cast<std::uint32_t>(compressed));
    Put32(archive, item.zip64 ? kMax32 : static_cast<std::uint32_t>(size));
    Put16(archive, static_cast<std::uint32_t>(item.name.size()));
    Put16(archive, static_cast<std::uint32_t>(localExtra.size()));
    archive += item.name;
    archive += localExtra;
    archive += stored;

    Put32(central, 0x02014b50);
    Put16(central, item.madeBy);
    Put16(central, needed);
    Put16(central, item.flags);
    Put16(central, method);
    Put16(central, kDosTime);
    Put16(central, kDosDate);
    Put32(central, crc);
    Put32(central, item.zip64 ? kMax32 : static_cast<std::uint32_t>(compressed));
    Put32(central, item.zip64 ? kMax32 : static_cast<std::uint32_t>(size));
    Put16(central, static_cast<std::uint32_t>(item.name.size()));
    Put16(central, static_cast<std::uint32_t>(centralExtra.size()));
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, item.external);
    Put32(central, item.zip64 ? kMax32 : static_cast<std::uint32_t>(offset));
    central += item.name;
    central += centralExtra;
  }
  const std::uint64_t centralOffset = archive.size();
  archive += central;
  if (anyZip64) {
    const std::uint64_t zip64End = archive.size();
    Put32(archive, 0x06064b50);
    Put64(archive, 44);
    Put16(archive, 0x031E);
    Put16(archive, 45);
    Put32(archive, 0);
    Put32(archive, 0);
    Put64(archive, items.size());
    Put64(archive, items.size());
    Put64(archive, central.size());
    Put64(archive, centralOffset);
    Put32(archive, 0x07064b50);
    Put32(archive, 0);
    Put64(archive, zip64End);
    Put32(archive, 1);
  }
  Put32(archive, 0x06054b50);
  Put16(archive, 0);
  Put16(archive, 0);
  Put16(archive, anyZip64 ? 0xFFFF : static_cast<std::uint32_t>(items.size()));
  Put16(archive, anyZip64 ? 0xFFFF : static_cast<std::uint32_t>(items.size()));
  Put32(archive, anyZip64 ? kMax32 : static_cast<std::uint32_t>(central.size()));
  Put32(archive, anyZip64 ? kMax32 : static_cast<std::uint32_t>(centralOffset));
  Put16(archive, 0);
  return archive;
}

}  // namespace qm::test
