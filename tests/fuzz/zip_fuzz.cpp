// An archive of arbitrary bytes, unpacked into a scratch folder in memory
// (/dev/shm, so that the disk sees no churn). Whatever the bytes, nothing
// lands outside the destination.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/zip.h"

namespace fs = std::filesystem;

namespace {

const fs::path& Scratch() {
  static const fs::path dir = [] {
    fs::path d = fs::path("/dev/shm") / ("quillmere-zip-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(d / "box");
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Scratch(), ec);
    });
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path box = Scratch() / "box";
  const fs::path archive = box / "in.zip";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const int result = qm::ZipDecompress(archive.string(), (box / "out").string() + "/");
  if (result < -1 || result > 1) __builtin_trap();
  // Only the archive and the destination may be in the box.
  for (const auto& entry : fs::directory_iterator(box)) {
    const std::string name = entry.path().filename().string();
    if (name != "in.zip" && name != "out") {
      std::fprintf(stderr, "written outside the destination: %s\n", name.c_str());
      __builtin_trap();
    }
  }
  std::error_code ec;
  fs::remove_all(box / "out", ec);
  return 0;
}
