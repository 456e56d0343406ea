// Files and folders for tests: a scratch folder that goes away with the test,
// and whole-file reads and writes.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/text.h"

namespace qm::test {

namespace fs = std::filesystem;

// A fresh folder "<tmp>/quillmere-<label>-<pid>-<n>/run", removed with its
// parent when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& label = "test") {
    static int serial = 0;
    path_ = fs::temp_directory_path() /
            ("quillmere-" + label + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++)) / "run";
    fs::remove_all(path_.parent_path());
    fs::create_directories(path_);
  }
  ~ScratchDir() { fs::remove_all(path_.parent_path()); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  // The folder as the system's texts name it (code page 936).
  Text AsText() const { return Utf8ToCp936(path_.string()); }
  // Empties the folder.
  void Clear() const {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  // The names in the folder, sorted.
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Creates the folders above the file when they are missing.
inline void WriteFile(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace qm::test
