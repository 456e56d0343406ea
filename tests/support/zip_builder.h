// ZIP archives for the tests, written byte by byte so that a test controls
// every field: raw name bytes and flags, methods, attributes, Zip64 records,
// and faults (a wrong CRC, a size that lies, an encryption flag).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {

struct ZipItem {
  std::string name;  // the raw bytes of the name, as stored
  std::string data;  // the uncompressed content
  bool deflate = true;
  std::uint16_t flags = 0;              // general purpose bits: 0x0800 UTF-8 name, 0x0001 encrypted
  std::uint16_t madeBy = 0x031E;        // host Unix, version 3.0
  std::uint32_t external = 0;           // external attributes; Unix mode in the upper half
  std::string extra;                    // extra field, in both headers
  std::optional<std::uint16_t> method;  // overrides the method field only (data as given)
  std::optional<std::uint32_t> crc;     // a wrong CRC
  std::optional<std::uint64_t> size;    // a declared size that lies
  bool zip64 = false;                   // sizes and offset in a Zip64 extra field
};

// The DOS time stamp every item carries: 2024-05-06 07:08:10, local time.
inline constexpr int kZipYear = 2024, kZipMonth = 5, kZipDay = 6, kZipHour = 7, kZipMinute = 8,
                     kZipSecond = 10;

// A file; stored when `deflate` is false.
ZipItem ZipFile(std::string name, std::string data, bool deflate = true);
// A folder entry ("name/").
ZipItem ZipFolder(std::string name);
// A symbolic link entry as Unix zip tools write it: the target is the data.
ZipItem ZipLink(std::string name, std::string target);

// The archive: local headers and data, the central directory, and the end
// record (with the Zip64 end records when any item is zip64).
std::string BuildZip(const std::vector<ZipItem>& items);

// The extra field in which some zip tools store the UTF-8 form of a name kept
// in the local code page (0x7075, tied to the raw name by its CRC).
std::string UnicodePathExtra(const std::string& rawName, const std::string& utf8Name);

// Raw deflate (no zlib header), as inside ZIP archives.
std::string Deflate(const std::string& data);

// Bytes that do not compress: a fixed pseudo-random sequence.
std::string NoiseBytes(std::size_t count, std::uint32_t seed = 1);
// Bytes that compress well but not trivially: words.
std::string TextBytes(std::size_t count, std::uint32_t seed = 1);

}  // namespace qm::test
