// The ZIP component. minizip finds the end records and walks the central
// directory of the archive, mapped into memory; the entries' data are
// inflated by libdeflate in one piece (about 2.5 times zlib's speed) or, where
// that would take much memory or copying, streamed through zlib. A small entry
// is checked (size, CRC) in memory before its file is created; a large one is
// written under a temporary name and renamed once it checked out.
#include "platform/zip.h"

#include <libdeflate.h>
#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/busy.h"
#include "platform/codepage.h"
#include "platform/runtime.h"
#include "platform/zip_files.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using zipfiles::FolderState;
using zipfiles::OutputFile;
using zipfiles::ReadMapping;
using zipfiles::WriteMapping;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr int kMethodStored = 0;
constexpr int kMethodDeflated = 8;
// Entries up to this size are inflated into a buffer each worker reuses.
constexpr std::uint64_t kSmallEntry = 4u << 20;
// Pieces for writing and for the zlib stream.
constexpr std::size_t kPiece = 256u << 10;
// How far the second core faults pages in ahead of the inflater.
constexpr std::uint64_t kPrefaultStep = 8u << 20;

// ---------------------------------------------------------------------------
// minizip over the mapped archive.

struct MemoryStream {
  const std::uint8_t* data;
  std::uint64_t size;
  std::uint64_t position = 0;
};

voidpf ZCALLBACK OpenMemory(voidpf opaque, const void* /*name*/, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  const auto* mapping = static_cast<const ReadMapping*>(opaque);
  return new (std::nothrow) MemoryStream{mapping->data(), mapping->size()};
}

uLong ZCALLBACK ReadMemory(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
  auto* s = static_cast<MemoryStream*>(stream);
  if (s->position >= s->size) return 0;
  const std::uint64_t n = std::min<std::uint64_t>(size, s->size - s->position);
  std::memcpy(buffer, s->data + s->position, n);
  s->position += n;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK WriteMemory(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellMemory(voidpf /*opaque*/, voidpf stream) {
  return static_cast<MemoryStream*>(stream)->position;
}

long ZCALLBACK SeekMemory(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<MemoryStream*>(stream);
  std::uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s->size;
      break;
    default:
      return -1;
  }
  // minizip steps back by passing a negative offset in the unsigned type, as
  // fseek would take it; the sum wraps around to the intended position.
  const std::uint64_t target = base + offset;
  if (target > s->size) return -1;
  s->position = target;
  return 0;
}

int ZCALLBACK CloseMemory(voidpf /*opaque*/, voidpf stream) {
  delete static_cast<MemoryStream*>(stream);
  return 0;
}

int ZCALLBACK ErrorMemory(voidpf, voidpf) { return 0; }

struct UnzCloser {
  void operator()(void* file) const { unzClose(static_cast<unzFile>(file)); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

UnzHandle OpenArchive(const ReadMapping& mapping) {
  zlib_filefunc64_def io{};
  io.zopen64_file = OpenMemory;
  io.zread_file = ReadMemory;
  io.zwrite_file = WriteMemory;
  io.ztell64_file = TellMemory;
  io.zseek64_file = SeekMemory;
  io.zclose_file = CloseMemory;
  io.zerror_file = ErrorMemory;
  io.opaque = const_cast<ReadMapping*>(&mapping);
  return UnzHandle(unzOpen2_64("archive", &io));
}

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

// ---------------------------------------------------------------------------
// Entry names.

fs::path Utf8Path(std::string_view utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The UTF-8 name that some zip tools store beside a name in the local code
// page (extra field 0x7075), valid while the CRC of the plain name matches.
std::optional<std::string> UnicodePathField(std::string_view extra, std::string_view raw) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(extra.data());
  std::size_t left = extra.size();
  while (left >= 4) {
    const std::uint16_t id = Le16(p);
    const std::uint16_t length = Le16(p + 2);
    if (length > left - 4) break;
    if (id == 0x7075 && length >= 5 && p[4] == 1 &&
        Le32(p + 5) == libdeflate_crc32(0, raw.data(), raw.size())) {
      return std::string(reinterpret_cast<const char*>(p + 9), length - 5);
    }
    p += 4 + length;
    left -= 4 + length;
  }
  return std::nullopt;
}

// The entry's name as UTF-8: names flagged as UTF-8 are UTF-8, others are in
// code page 936 as Chinese Windows tools write them. Undecodable bytes become
// U+FFFD, so every name is valid UTF-8.
std::string DecodeName(std::string_view raw, bool utf8, std::string_view extra) {
  if (IsAscii(raw)) return std::string(raw);
  if (!utf8) {
    if (auto unicode = UnicodePathField(extra, raw)) return Utf16ToUtf8(Utf8ToUtf16(*unicode));
    return Cp936ToUtf8(raw);
  }
  return Utf16ToUtf8(Utf8ToUtf16(raw));
}

// The path below the destination ('/'-separated, without "." or empty
// components), or nullopt when the name is unsafe: absolute, on a drive,
// climbing with "..", or holding control characters (which no honest tool
// writes and which a terminal or another system could take for commands).
// Backslashes separate too, as Windows tools may write them; they are looked
// at only after decoding, since 0x5C can be the second byte of a code-page-936
// character.
std::optional<std::string> SafeRelativePath(std::string name, bool& folder) {
  for (char& c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return std::nullopt;
    if (c == '\\') c = '/';
  }
  folder = !name.empty() && name.back() == '/';
  if (!name.empty() && name.front() == '/') return std::nullopt;
  std::string path;
  bool first = true;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string_view part(name.data() + start, end - start);
    start = end + 1;
    if (first && part.size() >= 2 && part[1] == ':' &&
        ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z'))) {
      return std::nullopt;
    }
    first = false;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
#ifdef _WIN32
    // Streams ("a:b") and names that Windows trims to "." or ".." or another name.
    if (part.find(':') != std::string_view::npos || part.back() == '.' || part.back() == ' ') {
      return std::nullopt;
    }
#endif
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

// ---------------------------------------------------------------------------
// The plan.

struct Entry {
  std::string name;  // decoded, for reports
  std::string path;  // below the destination
  bool folder = false;
  bool executable = false;
  bool superseded = false;  // a later entry of the same name wins
  int method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::uint64_t dataOffset = 0;
  std::optional<std::int64_t> modified;
  ZipProblem problem = ZipProblem::kNone;
};

constexpr unsigned kUnixTypeMask = 0170000;
constexpr unsigned kUnixLink = 0120000;
constexpr unsigned kUnixFile = 0100000;
constexpr unsigned kUnixFolder = 0040000;
constexpr unsigned kDosFolder = 0x10;

bool MadeOnUnix(const unz_file_info64& info) {
  const unsigned host = (info.version >> 8) & 0xFF;
  return host == 3 || host == 19;  // Unix, OS X
}

// DOS times are local times. mktime() looks at the time-zone file on every
// call, so the offset from UTC is asked once per hour of the calendar and the
// rest is plain arithmetic.
class LocalTimes {
 public:
  std::optional<std::int64_t> Seconds(const tm_unz& d) {
    if (d.tm_mday == 0 || d.tm_mday > 31 || d.tm_mon > 11 || d.tm_hour > 23 || d.tm_min > 59 ||
        d.tm_sec > 59) {
      return std::nullopt;
    }
    const std::int64_t utc = DaysFromCivil(static_cast<int>(d.tm_year), static_cast<int>(d.tm_mon) + 1,
                                           static_cast<int>(d.tm_mday)) *
                                 86400 +
                             d.tm_hour * 3600 + d.tm_min * 60 + d.tm_sec;
    const std::int64_t hour = utc / 3600;
    auto it = offsets_.find(hour);
    if (it == offsets_.end()) {
      std::tm t{};
      t.tm_year = static_cast<int>(d.tm_year) - 1900;
      t.tm_mon = static_cast<int>(d.tm_mon);
      t.tm_mday = static_cast<int>(d.tm_mday);
      t.tm_hour = static_cast<int>(d.tm_hour);
      t.tm_isdst = -1;
      const std::time_t local = std::mktime(&t);
      if (local == static_cast<std::time_t>(-1)) return std::nullopt;
      it = offsets_.emplace(hour, static_cast<std::int64_t>(local) - hour * 3600).first;
    }
    return utc + it->second;
  }

 private:
  // Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
  static std::int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  }

  std::unordered_map<std::int64_t, std::int64_t> offsets_;
};

constexpr std::uint32_t kMax32 = 0xFFFFFFFF;

struct Placement {
  std::uint64_t size = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t localHeader = 0;
};

// The sizes and the local header's offset from the central directory record
// at `record`, with their Zip64 forms. minizip 1.1 as Debian ships it misses
// the Zip64 extra field on 64-bit systems (it compares the 32-bit fields with
// (unsigned long)-1), so these few fields are read here.
std::optional<Placement> ReadPlacement(const ReadMapping& archive, std::uint64_t record,
                                       std::string_view extra, std::size_t nameLength) {
  if (record > archive.size() || archive.size() - record < 46) return std::nullopt;
  const std::uint8_t* p = archive.data() + record;
  if (Le32(p) != 0x02014b50 || Le16(p + 28) != nameLength) return std::nullopt;
  Placement place{Le32(p + 24), Le32(p + 20), Le32(p + 42)};
  if (place.size != kMax32 && place.compressedSize != kMax32 && place.localHeader != kMax32) return place;
  const auto* x = reinterpret_cast<const std::uint8_t*>(extra.data());
  std::size_t left = extra.size();
  while (left >= 4) {
    const std::uint16_t id = Le16(x);
    const std::uint16_t length = Le16(x + 2);
    if (length > left - 4) break;
    if (id == 0x0001) {
      const std::uint8_t* field = x + 4;
      std::size_t fieldLeft = length;
      for (std::uint64_t* value : {&place.size, &place.compressedSize, &place.localHeader}) {
        if (*value != kMax32) continue;
        if (fieldLeft < 8) return std::nullopt;
        *value = static_cast<std::uint64_t>(Le32(field)) | static_cast<std::uint64_t>(Le32(field + 4)) << 32;
        field += 8;
        fieldLeft -= 8;
      }
      return place;
    }
    x += 4 + length;
    left -= 4 + length;
  }
  return std::nullopt;
}

// The offset of the entry's data behind its local header, when the header is
// there and agrees with the central directory.
std::optional<std::uint64_t> DataOffset(const ReadMapping& archive, const Placement& place, int method,
                                        std::size_t nameLength) {
  if (place.localHeader > archive.size() || archive.size() - place.localHeader < 30) return std::nullopt;
  const std::uint8_t* p = archive.data() + place.localHeader;
  if (Le32(p) != 0x04034b50 || Le16(p + 8) != method || Le16(p + 26) != nameLength) return std::nullopt;
  const std::uint64_t offset = place.localHeader + 30 + Le16(p + 26) + Le16(p + 28);
  if (offset > archive.size() || place.compressedSize > archive.size() - offset) return std::nullopt;
  return offset;
}

// Reads the central directory and checks each entry's local header. False
// when the directory itself cannot be read.
bool ReadEntries(void* archive, const ReadMapping& mapping, std::vector<Entry>& entries) {
  auto* uf = static_cast<unzFile>(archive);
  LocalTimes times;
  std::vector<char> name(65536);
  std::vector<char> extra(65536);
  int err = unzGoToFirstFile(uf);
  while (err == UNZ_OK) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(uf, &info, name.data(), static_cast<uLong>(name.size()), extra.data(),
                                static_cast<uLong>(extra.size()), nullptr, 0) != UNZ_OK) {
      return false;
    }
    const std::string_view raw(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
    const std::string_view extraField(extra.data(),
                                      std::min<std::size_t>(info.size_file_extra, extra.size()));
    const std::optional<Placement> place = ReadPlacement(mapping, unzGetOffset64(uf), extraField, raw.size());
    if (!place) return false;

    Entry e;
    e.name = DecodeName(raw, (info.flag & kFlagUtf8) != 0, extraField);
    e.method = static_cast<int>(info.compression_method);
    e.crc = static_cast<std::uint32_t>(info.crc);
    e.compressedSize = place->compressedSize;
    e.size = place->size;
    e.modified = times.Seconds(info.tmu_date);
    const unsigned unixMode = static_cast<unsigned>(info.external_fa >> 16) & 0xFFFF;
    const unsigned unixType = unixMode & kUnixTypeMask;
    const bool unix = MadeOnUnix(info);
    e.executable = unix && (unixMode & 0111) != 0;

    if (auto path = SafeRelativePath(e.name, e.folder)) {
      e.path = std::move(*path);
    } else {
      e.problem = ZipProblem::kUnsafeName;
    }
    // A link could point anywhere; a later entry would then be written through
    // it. Devices and pipes are not files either.
    if (unixType == kUnixLink ||
        (unix && unixType != 0 && unixType != kUnixFile && unixType != kUnixFolder)) {
      e.problem = ZipProblem::kLink;
    }
    if (!e.folder && e.size == 0 && ((info.external_fa & kDosFolder) != 0 || unixType == kUnixFolder)) {
      e.folder = true;  // some tools mark folders by attribute only
    }
    if (e.problem == ZipProblem::kNone && e.path.empty() && !e.folder) e.problem = ZipProblem::kUnsafeName;

    if (e.problem == ZipProblem::kNone && !e.folder) {
      if ((info.flag & (kFlagEncrypted | kFlagStrongEncryption)) != 0) {
        e.problem = ZipProblem::kEncrypted;
      } else if (e.method != kMethodStored && e.method != kMethodDeflated) {
        e.problem = ZipProblem::kUnsupportedMethod;
      } else if (const auto offset = DataOffset(mapping, *place, e.method, raw.size());
                 !offset || (e.method == kMethodStored && e.compressedSize != e.size)) {
        e.problem = ZipProblem::kDamaged;
      } else {
        e.dataOffset = *offset;
      }
    }
    entries.push_back(std::move(e));
    err = unzGoToNextFile(uf);
  }
  return err == UNZ_END_OF_LIST_OF_FILE;
}

std::string_view ParentOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
}

bool IsWithin(std::string_view path, std::string_view folder) {
  return path.size() > folder.size() && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

// Orders paths component by component ("a/b", "a/b/c", "a/b-c"), so that a
// folder's subtree follows the folder without a gap.
bool ComponentLess(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const int kx = x == '/' ? -1 : static_cast<unsigned char>(x);
    const int ky = y == '/' ? -1 : static_cast<unsigned char>(y);
    return kx < ky;
  });
}

// Settles which entries land where: the last of several entries of one name
// wins; a folder wins over a file of the same path (its contents need it).
// Returns the folders that files go into and the folder entries, in
// component order. Only these are kept, not every ancestor, so that memory
// stays within the size of the names however deep a hostile archive nests.
std::vector<std::string_view> Plan(std::vector<Entry>& entries) {
  std::unordered_set<std::string_view> folders;
  std::unordered_map<std::string_view, std::size_t> lastFile;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.problem != ZipProblem::kNone) continue;
    const std::string_view folder = e.folder ? std::string_view(e.path) : ParentOf(e.path);
    if (!folder.empty()) folders.insert(folder);
    if (!e.folder) lastFile[e.path] = i;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Entry& e = entries[i];
    if (e.problem != ZipProblem::kNone || e.folder) continue;
    if (folders.count(e.path) != 0) {
      e.problem = ZipProblem::kConflict;
    } else if (lastFile[e.path] != i) {
      e.superseded = true;
    }
  }
  std::vector<std::string_view> sorted(folders.begin(), folders.end());
  std::sort(sorted.begin(), sorted.end(), ComponentLess);
  return sorted;
}

// Creates the folders with their missing ancestors, each once. Returns the
// folders of the list that are not usable: a file or a link is in the way of
// them or of an ancestor (a blocked folder blocks its whole subtree).
std::unordered_set<std::string_view> MakeFolders(const fs::path& destination,
                                                 const std::vector<std::string_view>& folders) {
  std::unordered_set<std::string_view> blocked;
  std::vector<std::string_view> ready;  // the ancestors of the current folder that exist
  std::string_view blockedRoot;
  for (const std::string_view folder : folders) {
    if (!blockedRoot.empty() && (folder == blockedRoot || IsWithin(folder, blockedRoot))) {
      blocked.insert(folder);
      continue;
    }
    blockedRoot = {};
    while (!ready.empty() && !IsWithin(folder, ready.back())) ready.pop_back();
    std::size_t start = ready.empty() ? 0 : ready.back().size() + 1;
    for (;;) {
      const std::size_t slash = folder.find('/', start);
      const std::string_view step = folder.substr(0, slash);
      if (zipfiles::MakeFolder(destination / Utf8Path(step)) != FolderState::kReady) {
        blockedRoot = step;
        blocked.insert(folder);
        break;
      }
      ready.push_back(step);
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }
  }
  return blocked;
}

// ---------------------------------------------------------------------------
// Unpacking one file.

struct Worker {
  Decompressor decompressor{libdeflate_alloc_decompressor()};
  std::vector<std::uint8_t> buffer;  // inflated data
  std::vector<std::uint8_t> input;   // pieces read from the archive
  bool pumps = false;                // on the window thread: keep the window painted

  void Pump() const {
    if (pumps) PumpWhileBusy();
  }
};

class ZStream {
 public:
  ZStream() { ok_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  ~ZStream() {
    if (ok_) inflateEnd(&stream_);
  }
  bool ok() const { return ok_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

// Copies a large stored entry piece by piece. Bulk data is read into a small
// hot buffer rather than through the mapping: on virtual machines every page
// of a mapping costs a TLB miss with a two-level walk, and reading it is then
// several times slower than read().
ZipProblem CopyStored(const Entry& e, const ReadMapping& archive, OutputFile& out, Worker& w) {
  w.input.resize(kPiece);
  std::uint32_t crc = 0;
  for (std::uint64_t done = 0; done < e.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, e.size - done));
    if (!archive.ReadAt(e.dataOffset + done, w.input.data(), n)) return ZipProblem::kDamaged;
    crc = libdeflate_crc32(crc, w.input.data(), n);
    if (!out.Write(w.input.data(), n)) return ZipProblem::kNotWritten;
    done += n;
    w.Pump();
  }
  return crc == e.crc ? ZipProblem::kNone : ZipProblem::kDamaged;
}

// Inflates in pieces with zlib: little memory whatever the size.
ZipProblem InflateStreaming(const Entry& e, const ReadMapping& archive, OutputFile& out, Worker& w) {
  ZStream zs;
  if (!zs.ok()) return ZipProblem::kNotWritten;
  z_stream* s = zs.get();
  w.input.resize(kPiece);
  w.buffer.resize(std::max<std::size_t>(w.buffer.size(), kPiece));
  std::uint64_t read = 0;
  std::uint64_t produced = 0;
  std::uint32_t crc = 0;
  for (;;) {
    if (s->avail_in == 0 && read < e.compressedSize) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, e.compressedSize - read));
      if (!archive.ReadAt(e.dataOffset + read, w.input.data(), n)) return ZipProblem::kDamaged;
      s->next_in = w.input.data();
      s->avail_in = static_cast<uInt>(n);
      read += n;
    }
    s->next_out = w.buffer.data();
    s->avail_out = static_cast<uInt>(kPiece);
    const int rc = inflate(s, Z_NO_FLUSH);
    const std::size_t n = kPiece - s->avail_out;
    produced += n;
    if (produced > e.size) return ZipProblem::kDamaged;  // more than it claims: never write past it
    crc = libdeflate_crc32(crc, w.buffer.data(), n);
    if (n > 0 && !out.Write(w.buffer.data(), n)) return ZipProblem::kNotWritten;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && read == e.compressedSize && s->avail_in == 0)
      return ZipProblem::kDamaged;  // cut short
    if (rc != Z_OK && rc != Z_BUF_ERROR) return ZipProblem::kDamaged;
    w.Pump();
  }
  return produced == e.size && crc == e.crc ? ZipProblem::kNone : ZipProblem::kDamaged;
}

// Inflates a large entry in one piece straight into the mapped output file,
// while another thread faults the next pages in: page allocation costs about
// as much as inflating here.
ZipProblem InflateIntoMapping(const Entry& e, const std::uint8_t* in, WriteMapping& map, Worker& w) {
  std::jthread prefault;
  try {
    prefault = std::jthread([&map](std::stop_token stop) {
      for (std::uint64_t at = 0; at < map.size() && !stop.stop_requested(); at += kPrefaultStep) {
        if (!map.Prefault(at, kPrefaultStep)) break;
      }
    });
  } catch (...) {
    // Without a second thread the inflater faults the pages in itself.
  }
  std::size_t got = 0;
  const libdeflate_result rc =
      libdeflate_deflate_decompress(w.decompressor.get(), in, e.compressedSize, map.data(), e.size, &got);
  if (prefault.joinable()) {
    prefault.request_stop();
    prefault.join();
  }
  if (rc != LIBDEFLATE_SUCCESS || got != e.size) return ZipProblem::kDamaged;
  return libdeflate_crc32(0, map.data(), got) == e.crc ? ZipProblem::kNone : ZipProblem::kDamaged;
}

// A small entry is inflated (or found, when stored) and checked in memory
// before its file is created, so a damaged one never creates anything.
ZipProblem ExtractSmall(const Entry& e, const ReadMapping& archive, const fs::path& target, Worker& w) {
  const std::uint8_t* data = archive.data() + e.dataOffset;
  if (e.method == kMethodDeflated) {
    if (w.buffer.size() < e.size + 1) w.buffer.resize(e.size + 1);
    std::size_t got = 0;
    if (libdeflate_deflate_decompress(w.decompressor.get(), data, e.compressedSize, w.buffer.data(), e.size,
                                      &got) != LIBDEFLATE_SUCCESS ||
        got != e.size) {
      return ZipProblem::kDamaged;
    }
    data = w.buffer.data();
  }
  const auto size = static_cast<std::size_t>(e.size);
  if (libdeflate_crc32(0, data, size) != e.crc) return ZipProblem::kDamaged;
  std::unique_ptr<OutputFile> out = zipfiles::CreateOutputFile(target, e.executable, /*checked=*/true);
  if (!out || !out->Write(data, size) || !out->Commit(e.modified)) return ZipProblem::kNotWritten;
  return ZipProblem::kNone;
}

// A large entry is streamed into a temporary file that is renamed once the
// whole entry checked out.
ZipProblem ExtractLarge(const Entry& e, const ReadMapping& archive, const fs::path& target, Worker& w) {
  std::unique_ptr<OutputFile> out = zipfiles::CreateOutputFile(target, e.executable, /*checked=*/false);
  if (!out) return ZipProblem::kNotWritten;
  ZipProblem result = ZipProblem::kNone;
  if (e.method == kMethodStored) {
    result = CopyStored(e, archive, *out, w);
  } else if (e.compressedSize >= e.size - e.size / 16) {
    // Hardly compressed: inflating is copying, and writing from a small hot
    // buffer beats faulting a mapping in.
    result = InflateStreaming(e, archive, *out, w);
  } else if (std::unique_ptr<WriteMapping> map = out->MapForWriting(e.size)) {
    result = InflateIntoMapping(e, archive.data() + e.dataOffset, *map, w);
  } else {
    result = InflateStreaming(e, archive, *out, w);
  }
  if (result != ZipProblem::kNone) return result;  // `out` removes the temporary file
  return out->Commit(e.modified) ? ZipProblem::kNone : ZipProblem::kNotWritten;
}

ZipProblem ExtractFile(const Entry& e, const ReadMapping& archive, const fs::path& destination, Worker& w) {
  if (!w.decompressor) return ZipProblem::kNotWritten;
  const fs::path target = destination / Utf8Path(e.path);
  return e.size <= kSmallEntry ? ExtractSmall(e, archive, target, w) : ExtractLarge(e, archive, target, w);
}

// Unpacks the files with up to two workers over disjoint entries; the calling
// thread is one of them.
void ExtractFiles(std::vector<Entry>& entries, const std::vector<std::size_t>& files,
                  const ReadMapping& archive, const fs::path& destination) {
  std::atomic<std::size_t> next{0};
  auto work = [&](Worker& w) {
    for (std::size_t k = next.fetch_add(1); k < files.size(); k = next.fetch_add(1)) {
      Entry& e = entries[files[k]];
      e.problem = ExtractFile(e, archive, destination, w);
      w.Pump();
    }
  };
  std::jthread helper;
  if (files.size() >= 8 && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::jthread([&] {
        Worker w;
        work(w);
      });
    } catch (...) {
      // One worker it is.
    }
  }
  Worker w;
  w.pumps = true;
  work(w);
}

fs::path WithoutTrailingSeparators(const fs::path& path) {
  fs::path::string_type s = path.native();
  while (s.size() > 1 && (s.back() == '/' || s.back() == fs::path::preferred_separator)) s.pop_back();
  return fs::path(std::move(s));
}

int Fail(ZipReport* report, ZipProblem problem, int result) {
  if (report != nullptr) report->problem = problem;
  return result;
}

int Decompress(const Text& archivePath, const Text& destinationFolder, ZipReport* report) {
  if (archivePath.empty() || destinationFolder.empty()) return Fail(report, ZipProblem::kEmptyPath, -1);
  const fs::path archiveFile = NativePath(archivePath);
  std::error_code ec;
  if (!fs::exists(archiveFile, ec)) return Fail(report, ZipProblem::kNoArchive, -1);

  const fs::path destination = WithoutTrailingSeparators(NativePath(destinationFolder));
  fs::create_directories(destination, ec);
  if (!fs::is_directory(destination, ec)) return Fail(report, ZipProblem::kFolderNotCreated, 0);

  const std::unique_ptr<ReadMapping> archive = zipfiles::MapForReading(archiveFile);
  if (!archive) return Fail(report, ZipProblem::kUnreadable, 0);
  static constexpr std::uint8_t kLocalHeader[4] = {'P', 'K', 3, 4};
  if (archive->size() < 4 || std::memcmp(archive->data(), kLocalHeader, 4) != 0) {
    return Fail(report, ZipProblem::kNotZip, 0);
  }
  std::vector<Entry> entries;
  {
    const UnzHandle uf = OpenArchive(*archive);
    if (!uf || !ReadEntries(uf.get(), *archive, entries)) return Fail(report, ZipProblem::kUnreadable, 0);
  }
  const std::vector<std::string_view> folders = Plan(entries);

  std::vector<std::size_t> files;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    if (e.problem != ZipProblem::kNone || e.folder || e.superseded) continue;
    files.push_back(i);
    total = e.size > UINT64_MAX - total ? UINT64_MAX : total + e.size;
  }
  // A bomb declares sizes beyond the disk; refuse it before writing anything.
  // (An entry never writes more than it declares.)
  if (const auto space = zipfiles::FreeSpace(destination); space && total > *space) {
    if (report != nullptr) report->entries = static_cast<int>(std::min<std::size_t>(entries.size(), INT_MAX));
    return Fail(report, ZipProblem::kTooLarge, 0);
  }

  const std::unordered_set<std::string_view> blocked = MakeFolders(destination, folders);
  for (Entry& e : entries) {
    if (e.problem != ZipProblem::kNone || e.path.empty()) continue;
    if (blocked.count(e.folder ? std::string_view(e.path) : ParentOf(e.path)) != 0) {
      e.problem = ZipProblem::kNotWritten;
    }
  }
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&](std::size_t i) { return entries[i].problem != ZipProblem::kNone; }),
              files.end());

  ExtractFiles(entries, files, *archive, destination);

  ZipReport local;
  ZipReport& r = report != nullptr ? *report : local;
  r = ZipReport{};
  r.entries = static_cast<int>(std::min<std::size_t>(entries.size(), INT_MAX));
  for (const Entry& e : entries) {
    if (e.problem == ZipProblem::kNone) {
      if (!e.superseded) ++r.written;
      continue;
    }
    if (r.problem == ZipProblem::kNone) r.problem = e.problem;
    r.failures.push_back({e.name, e.problem});
  }
  return r.problem == ZipProblem::kNone ? 1 : 0;
}

}  // namespace

int ZipDecompress(const Text& archivePath, const Text& destinationFolder, ZipReport* report) {
  if (report != nullptr) *report = ZipReport{};
  try {
    return Decompress(archivePath, destinationFolder, report);
  } catch (...) {
    // Out of memory and the like: a failure like any other.
    if (report != nullptr) report->problem = ZipProblem::kNotWritten;
    return 0;
  }
}

}  // namespace qm
