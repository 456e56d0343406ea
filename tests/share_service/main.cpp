// The local share service as a program, for the demo and for trying the tool
// by hand: publishes files and prints their share addresses.
//
//   quillmere-share-service [--port N] [--download-port N] [--slow] [--sample] FILE[=SCENARIO]...
//
// --sample publishes a small sample ZIP archive; --slow sends files in small
// pieces with pauses, so that the progress bar can be watched.
// SCENARIO is one of: normal, removed, no-values, not-json, no-location,
// content-location, gbk, breaks, missing. Runs until interrupted or until its
// standard input closes.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "tests/share_service/share_service.h"
#include "tests/support/zip_builder.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void Stop(int) { g_stop = 1; }

// A few files in folders, with Chinese names, and enough bytes to watch.
std::string SampleArchive() {
  using namespace qm::test;
  std::vector<ZipItem> items = {
      ZipFile("说明.txt", "这是 Quillmere 演示用的示例压缩包。\nA sample archive for the Quillmere demo.\n"),
      ZipFolder("图片/"),
      ZipFile("图片/noise.bin", NoiseBytes(2 << 20), /*deflate=*/false),
      ZipFile("文档/readme.txt", TextBytes(256 << 10)),
  };
  for (ZipItem& item : items) item.flags |= 0x0800;  // the names are UTF-8
  return BuildZip(items);
}

}  // namespace

int main(int argc, char** argv) {
  using qm::test::ShareScenario;
  const std::map<std::string, ShareScenario> scenarios = {
      {"normal", ShareScenario::kNormal},
      {"removed", ShareScenario::kNoFrame},
      {"no-values", ShareScenario::kFrameWithoutValues},
      {"not-json", ShareScenario::kAnswerNotJson},
      {"no-location", ShareScenario::kProbeWithoutLocation},
      {"content-location", ShareScenario::kContentLocationFirst},
      {"gbk", ShareScenario::kOtherEncoding},
      {"breaks", ShareScenario::kBreaksHalfway},
      {"missing", ShareScenario::kFileNotFound},
  };
  int port = 0;
  int downloadPort = 0;
  bool slow = false;
  std::vector<qm::test::ShareFile> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--slow") {
      slow = true;
      continue;
    }
    if (arg == "--sample") {
      files.push_back({"示例资料.zip", SampleArchive()});
      continue;
    }
    if ((arg == "--port" || arg == "--download-port") && i + 1 < argc) {
      (arg == "--port" ? port : downloadPort) = std::atoi(argv[++i]);
      continue;
    }
    if (arg == "--help" || arg.starts_with("-")) {
      std::fprintf(stderr, "usage: %s [--port N] [--download-port N] [--slow] [--sample] FILE[=SCENARIO]...\n",
                   argv[0]);
      return arg == "--help" ? 0 : 2;
    }
    std::string path = arg;
    ShareScenario scenario = ShareScenario::kNormal;
    if (const std::size_t eq = arg.rfind('='); eq != std::string::npos && scenarios.count(arg.substr(eq + 1))) {
      path = arg.substr(0, eq);
      scenario = scenarios.at(arg.substr(eq + 1));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::size_t slash = path.rfind('/');
    files.push_back({slash == std::string::npos ? path : path.substr(slash + 1), bytes.str(), scenario});
  }

  qm::test::ShareService service(port, downloadPort);
  for (auto& file : files) file.trickle = slow;
  for (const auto& file : files) std::printf("%s %s\n", service.Share(file).c_str(), file.name.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, Stop);
  std::signal(SIGTERM, Stop);
  while (!g_stop) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 200) > 0) {
      char c;
      if (::read(STDIN_FILENO, &c, 1) <= 0) break;  // stdin closed: the caller is gone
    }
  }
  return 0;
}
