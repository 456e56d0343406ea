// quillmere-cli run as a user runs it: the built program against the local
// share service, with what it prints, its exit status and the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/share_service/share_service.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/run_program.h"
#include "tests/support/zip_builder.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::ProgramOptions;
using test::ProgramResult;
using test::ReadFile;
using test::ScratchDir;
using test::ShareFile;
using test::ShareScenario;
using test::WriteFile;
using Names = std::vector<std::string>;

const std::string kDone = "恭喜您，本次更新完毕！";
const std::string kNoDirectAddress = "解析失败: the share service gave no direct address\n";

ProgramResult Cli(std::vector<std::string> args, const ProgramOptions& options = {}) {
  args.insert(args.begin(), QUILLMERE_CLI_PATH);
  return test::RunProgram(args, options);
}

Names Lines(const std::string& text) {
  Names lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliTest : public ::testing::Test {
 protected:
  std::string Share(const std::string& name, const std::string& bytes,
                    ShareScenario scenario = ShareScenario::kNormal) {
    return service_.Share(ShareFile{name, bytes, scenario});
  }
  // Requests for a file itself (not the probe) that reached the download host.
  std::size_t FileRequests() const {
    const auto log = service_.Log();
    return std::count_if(log.begin(), log.end(), [](const test::ServiceRequest& r) {
      return r.server == "download" && r.request.target.starts_with("/dl/");
    });
  }
  // Nothing was made beside the scratch folder.
  void ExpectNothingOutside() const {
    Names beside;
    for (const auto& e : fs::directory_iterator(dir_.path().parent_path()))
      beside.push_back(e.path().filename());
    EXPECT_EQ(beside, Names{"run"});
  }

  test::ShareService service_;
  ScratchDir dir_{"cli"};
};

TEST_F(CliTest, HelpVersionAndBadCommandLines) {
  const std::string url = Share("notes.txt", "some notes");
  const std::string dir = dir_.path().string();
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // a part of standard output
    std::string err;  // a part of standard error
  } cases[] = {
      {{"--help"}, 0, "usage: quillmere-cli resolve SHARE_URL\n", ""},
      {{"get", url, "--help"}, 0, "  4  no archive or no folder", ""},
      {{"--version"}, 0, "quillmere-cli " QUILLMERE_VERSION "\n", ""},
      {{}, 2, "", "no command given"},
      {{"fetch", url}, 2, "", "unknown command 'fetch'"},
      {{"resolve"}, 2, "", "resolve takes one SHARE_URL"},
      {{"resolve", url, url}, 2, "", "resolve takes one SHARE_URL"},
      {{"resolve", url, "-C", dir}, 2, "", "unknown option '-C'"},
      {{"get", url, "-C"}, 2, "", "-C needs a folder"},
      {{"get", url, "-C", ""}, 2, "", "-C needs a folder"},
      {{"get", url, "-x"}, 2, "", "unknown option '-x'"},
      {{"get", url, "-C", dir + "/missing"}, 2, "", "missing: no such folder"},
      {{"unzip", "a.zip"}, 2, "", "unzip takes ARCHIVE and DEST"},
      // Paths that code page 936 cannot name, or that it would split.
      {{"unzip", "a.zip", dir + "/\xF0\x9F\x98\x80"}, 2, "", "cannot name (code page 936)"},  // an emoji
      {{"get", url, "-C", dir + "/a\\b"}, 2, "", "holds a backslash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ProgramResult r = Cli(c.args, {.workingDirectory = dir});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    if (c.exitCode == 0) {
      EXPECT_EQ(r.err, "");
    }
    if (c.exitCode == 2) {
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(Contains(r.err, "Try 'quillmere-cli --help'."));
    }
  }
  // Nothing went over the network and nothing was written.
  EXPECT_TRUE(service_.Log().empty());
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(CliTest, ResolvePrintsTheDirectAddressOrSaysWhy) {
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/i0000";
  const struct {
    const char* label;
    std::string url;
    int exitCode;
    std::string out;
    std::string err;
  } cases[] = {
      {"normal", Share("a.zip", "x"), 0, "", ""},
      {"removed share", Share("a.zip", "x", ShareScenario::kNoFrame), 1, "", "解析失败\n"},
      {"unreachable service", unreachable, 1, "", "解析失败\n"},
      {"empty address", "", 1, "", "解析失败\n"},
      // The window says nothing after these; the command line must.
      {"answer not JSON", Share("a.zip", "x", ShareScenario::kAnswerNotJson), 1, "", kNoDirectAddress},
      {"probe without redirect", Share("a.zip", "x", ShareScenario::kProbeWithoutLocation), 1, "",
       kNoDirectAddress},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const ProgramResult r = Cli({"resolve", c.url});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, c.exitCode == 0 ? service_.DirectAddress(c.url) + "\n" : c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(FileRequests(), 0u);
}

TEST_F(CliTest, GetSavesThePlainFileIntoTheFolder) {
  const std::string bytes = test::TextBytes(300000);
  const std::string url = Share("notes.txt", bytes);

  const ProgramResult r = Cli({"get", url, "-C", dir_.path().string() + "/"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, dir_.path().string() + "/notes.txt\n");
  EXPECT_EQ(ReadFile(dir_.path() / "notes.txt"), bytes);
  EXPECT_EQ(dir_.List(), Names{"notes.txt"});
  // Not a terminal: plain progress lines, the last one complete, then the
  // window's completion message.
  const Names lines = Lines(r.err);
  ASSERT_GE(lines.size(), 2u) << r.err;
  EXPECT_EQ(lines.back(), kDone);
  const std::string& last = lines[lines.size() - 2];
  EXPECT_TRUE(last.starts_with("Size：0.29 MB  进度：100%  ")) << last;
  EXPECT_TRUE(last.ends_with("/s  0:00 left")) << last;
  EXPECT_FALSE(Contains(r.err, "\r"));

  // Without -C: the current folder.
  const ScratchDir here("cli-here");
  const ProgramResult again = Cli({"get", url}, {.workingDirectory = here.path().string()});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "./notes.txt\n");
  EXPECT_EQ(ReadFile(here.path() / "notes.txt"), bytes);
  EXPECT_EQ(FileRequests(), 2u);
}

TEST_F(CliTest, CtrlCDuringADownloadRemovesThePartAndKeepsTheEarlierFile) {
  WriteFile(dir_.path() / "slow.bin", "the earlier file");
  // About 8 s at the service's trickle: the interrupt comes well before the end.
  const std::string url = service_.Share({"slow.bin", std::string(16 << 20, 's'), ShareScenario::kNormal,
                                          /*trickle=*/true});
  const ProgramResult r =
      Cli({"get", url, "-C", dir_.path().string()},
          {.workingDirectory = {}, .timeout = std::chrono::seconds(30), .interruptWhenErrorHas = "Size："});
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_TRUE(Lines(r.err).back() == "quillmere-cli: interrupted") << r.err;
  EXPECT_FALSE(Contains(r.err, "下载失败!")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir_.path() / "slow.bin"), "the earlier file");
  EXPECT_EQ(dir_.List(), Names{"slow.bin"});  // no partial file left, hidden or not
}

TEST_F(CliTest, GetUnpacksZipArchivesIntoAFolderOfTheirName) {
  const std::string archive = test::BuildZip({
      test::ZipFile("readme.txt", "hello"),
      test::ZipFile("sub/data.bin", test::NoiseBytes(5000)),
      [] {
        test::ZipItem item = test::ZipFile("文件.txt", "named in UTF-8");
        item.flags = 0x0800;
        return item;
      }(),
  });
  const std::string url = Share("资料 pack.zip", archive);
  // A folder of a name that is not ASCII: the path is converted at the edge.
  const fs::path folder = dir_.path() / "下载";
  fs::create_directory(folder);

  const ProgramResult r = Cli({"get", url, "-C", folder.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Lines(r.out), (Names{folder.string() + "/资料 pack.zip", folder.string() + "/资料 pack/"}));
  EXPECT_EQ(Lines(r.err).back(), kDone + " 1");
  EXPECT_EQ(ReadFile(folder / "资料 pack.zip"), archive);
  EXPECT_EQ(ReadFile(folder / "资料 pack" / "readme.txt"), "hello");
  EXPECT_EQ(ReadFile(folder / "资料 pack" / "sub" / "data.bin"), test::NoiseBytes(5000));
  EXPECT_EQ(ReadFile(folder / "资料 pack" / "文件.txt"), "named in UTF-8");
}

TEST_F(CliTest, GetFailuresKeepEarlierFilesAndExitNonZero) {
  const std::string old = "the old file";
  const std::string notZip = "<html>not an archive</html>";
  const std::string hostile =
      test::BuildZip({test::ZipFile("ok.txt", "fine"), test::ZipFile("../escape.txt", "out"),
                      test::ZipFile("a/../../up.txt", "up"), test::ZipLink("link", "/etc/passwd")});
  const struct {
    const char* label;
    std::string name;
    std::string bytes;
    ShareScenario scenario;
    int exitCode;
    Names err;       // standard error, line by line, progress lines left out
    bool saved;      // the download was saved (else the old file is kept)
    Names unpacked;  // what the folder of the archive's name holds
  } cases[] = {
      {"breaks half-way",
       "big.bin",
       test::NoiseBytes(200000),
       ShareScenario::kBreaksHalfway,
       1,
       {"下载失败!"},
       false,
       {}},
      {"404", "gone.zip", "x", ShareScenario::kFileNotFound, 1, {"下载失败!"}, false, {}},
      {"removed share", "big.bin", "x", ShareScenario::kNoFrame, 1, {"解析失败"}, false, {}},
      {"no redirect",
       "big.bin",
       "x",
       ShareScenario::kProbeWithoutLocation,
       1,
       {Lines(kNoDirectAddress)},
       false,
       {}},
      {"no ZIP archive",
       "fake.zip",
       notZip,
       ShareScenario::kNormal,
       3,
       {kDone + " 0", "quillmere-cli: " + (dir_.path() / "fake.zip").string() + ": not a ZIP archive"},
       true,
       {}},
      {"hostile archive",
       "evil.zip",
       hostile,
       ShareScenario::kNormal,
       3,
       {kDone + " 0",
        "quillmere-cli: ../escape.txt: not unpacked: its name leaves the folder or holds control characters",
        "quillmere-cli: a/../../up.txt: not unpacked: its name leaves the folder or holds control characters",
        "quillmere-cli: link: not unpacked: a link or another special file"},
       true,
       {"ok.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dir_.Clear();
    WriteFile(dir_.path() / c.name, old);
    service_.ClearLog();
    const ProgramResult r = Cli({"get", Share(c.name, c.bytes, c.scenario), "-C", dir_.path().string()});
    EXPECT_EQ(r.exitCode, c.exitCode);
    Names err;
    for (const std::string& line : Lines(r.err)) {
      if (!line.starts_with("Size：")) err.push_back(line);
    }
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(ReadFile(dir_.path() / c.name), c.saved ? c.bytes : old);
    EXPECT_EQ(r.out, c.saved ? (dir_.path() / c.name).string() + "\n" : "");
    const fs::path folder = dir_.path() / fs::path(c.name).stem();
    Names unpacked;
    if (fs::exists(folder)) {
      for (const auto& e : fs::recursive_directory_iterator(folder)) unpacked.push_back(e.path().filename());
    }
    EXPECT_EQ(unpacked, c.unpacked);
    // The file and its folder, and no temporary files or escaped entries.
    EXPECT_LE(dir_.List().size(), 2u);
    ExpectNothingOutside();
  }
}

TEST_F(CliTest, UnzipAnswersWithTheComponentsResult) {
  const std::string good = test::BuildZip({test::ZipFile("a/b.txt", "bee"), test::ZipFolder("empty/")});
  const std::string hostile =
      test::BuildZip({test::ZipFile("ok.txt", "fine"), test::ZipFile("../outside.txt", "no"),
                      test::ZipFile("/abs.txt", "no")});
  const struct {
    const char* label;
    std::string archive;  // written to the archive's path unless empty
    std::string archiveArg;
    int exitCode;
    std::string err;
    Names unpacked;  // in the destination, recursively, sorted
  } cases[] = {
      {"good", good, "in.zip", 0, "", {"a", "a/b.txt", "empty"}},
      {"traversal", hostile, "in.zip", 3, "quillmere-cli: ../outside.txt: not unpacked:", {"ok.txt"}},
      {"no ZIP archive", "plain text", "in.zip", 3, ": not a ZIP archive\n", {}},
      {"missing archive", "", "missing.zip", 4, "missing.zip: no such archive\n", {}},
      {"empty archive path", "", "", 4, ": a path is empty\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dir_.Clear();
    if (!c.archive.empty()) WriteFile(dir_.path() / "in.zip", c.archive);
    const ProgramResult r = Cli({"unzip", c.archiveArg, "dest"}, {.workingDirectory = dir_.path().string()});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(c.err.empty() ? r.err.empty() : Contains(r.err, c.err)) << r.err;
    Names unpacked;
    if (fs::exists(dir_.path() / "dest")) {
      for (const auto& e : fs::recursive_directory_iterator(dir_.path() / "dest")) {
        unpacked.push_back(fs::relative(e.path(), dir_.path() / "dest").string());
      }
    }
    std::sort(unpacked.begin(), unpacked.end());
    EXPECT_EQ(unpacked, c.unpacked);
    ExpectNothingOutside();
    for (const std::string& name : dir_.List()) EXPECT_TRUE(name == "in.zip" || name == "dest") << name;
  }
}

TEST_F(CliTest, ProgressLineIsRedrawnInPlaceOnATerminal) {
  const std::string bytes = test::NoiseBytes(400000);
  const std::string url = Share("noise.bin", bytes);
  const ProgramResult r =
      Cli({"get", url, "-C", dir_.path().string()}, {.workingDirectory = {}, .errorsOnTerminal = true});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_.path() / "noise.bin"), bytes);
  // Standard output is still a plain line for scripts.
  EXPECT_EQ(r.out, (dir_.path() / "noise.bin").string() + "\n");
  // One line, drawn from its start and cleared to its end each time, ended
  // before the message (the terminal writes "\r\n" for a line end).
  EXPECT_TRUE(r.err.starts_with("\rSize：")) << r.err;
  const std::string end = "  0:00 left\x1b[K\r\n" + kDone + "\r\n";
  EXPECT_TRUE(r.err.ends_with(end)) << r.err;
  const std::size_t last = r.err.rfind("\rSize：");
  EXPECT_TRUE(r.err.substr(last).starts_with("\rSize：0.38 MB  进度：100%  ")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
}

}  // namespace
}  // namespace qm
