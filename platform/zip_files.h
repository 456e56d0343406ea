// The file services the ZIP component stands on, one implementation per
// system (zip_files_posix.cpp, zip_files_win.cpp). Internal to platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace qm::zipfiles {

// A whole file mapped for reading. Mapping spares a system call per small
// read (headers, small entries); the archive is our own download and is not
// changed while we read.
class ReadMapping {
 public:
  virtual ~ReadMapping() = default;
  const std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }
  // Reads bulk data with the system's read, which is faster than touching
  // the mapping page by page; false when fewer bytes could be read. Safe to
  // call from several threads.
  virtual bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) const = 0;

 protected:
  const std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// Null when the file cannot be opened or mapped (an empty file maps to an
// empty view).
std::unique_ptr<ReadMapping> MapForReading(const std::filesystem::path& path);

// A view of an output file's whole length, written by the inflater in place.
class WriteMapping {
 public:
  virtual ~WriteMapping() = default;
  std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }
  // Faults the pages of [offset, offset + length) in ahead of the writer, so
  // that a second core pays for the page allocation; false when the system
  // cannot.
  virtual bool Prefault(std::uint64_t offset, std::uint64_t length) = 0;

 protected:
  std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// A file being written. Nothing appears under its final name before Commit
// unless the caller already checked the data; a file destroyed before Commit
// is removed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(const std::uint8_t* bytes, std::size_t count) = 0;
  // Reserves `size` bytes on the disk (so that writing through the mapping can
  // never run out of space) and maps them; null when the system cannot, and
  // the caller then writes instead.
  virtual std::unique_ptr<WriteMapping> MapForWriting(std::uint64_t size) = 0;
  // Sets the modification time (seconds since 1970, UTC) when given, closes
  // the file and, if it was written under a temporary name, renames it over
  // the final name, replacing a file there (a read-only one too). False when
  // any step fails; the file is then removed.
  virtual bool Commit(std::optional<std::int64_t> modified) = 0;
};

// Null when the file cannot be created. The file is written under a
// temporary name in the final name's folder, except when `checked` (its data
// are known good) and nothing is under the final name yet: then it is created
// there directly, which spares two directory updates per file. An existing
// file stays untouched until Commit either way. `executable` asks for the
// execute permission where the system has one.
std::unique_ptr<OutputFile> CreateOutputFile(const std::filesystem::path& finalPath, bool executable,
                                             bool checked);

enum class FolderState { kReady, kBlocked };

// Creates one folder whose parent exists. An existing folder is fine; an
// existing file, or a link (which could lead out of the destination), blocks.
FolderState MakeFolder(const std::filesystem::path& path);

// Bytes the current user may still write on the disk holding `path`, or
// nullopt when unknown.
std::optional<std::uint64_t> FreeSpace(const std::filesystem::path& path);

}  // namespace qm::zipfiles
