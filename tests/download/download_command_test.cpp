// The download command against a real HTTP server, saving into a scratch
// folder that stands for the run directory.
#include "download/download_command.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/program_state.h"
#include "download/safe_name.h"
#include "platform/codepage.h"
#include "platform/zip.h"
#include "tests/support/recording_form.h"
#include "tests/support/files.h"
#include "tests/support/loopback_server.h"
#include "tests/support/zip_builder.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::LoopbackServer;
using test::RecordedRequest;
using test::RecordingForm;
using test::Reply;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;
using Names = std::vector<std::string>;

const std::string kDone = "更新完毕|恭喜您，本次更新完毕！";

class DownloadCommandTest : public ::testing::Test {
 protected:
  void TearDown() override {
    g_directUrl.clear();
    g_fileName.clear();
    g_rarToolPath.clear();
  }

  // Runs the command for `fileName` against `server`, unpacking through a
  // recorder that answers `unzipResult`.
  void Click(const LoopbackServer& server, const Text& fileName, int unzipResult = 1) {
    g_directUrl = server.Origin() + "/direct/file";
    g_fileName = fileName;
    DownloadAndUnpack(form_, DownloadPlace{dir_.AsText(), [this, unzipResult](const Text& archive, const Text& folder) {
                                             unzips_.push_back(Cp936ToUtf8(archive) + " -> " + Cp936ToUtf8(folder));
                                             return unzipResult;
                                           }});
  }
  std::string Native(const std::string& name) const { return dir_.path().string() + "\\" + name; }
  // "file -> folder" relative to the run directory, as the recorder writes it.
  std::string NativeUnzip(const std::string& call) const {
    const std::size_t arrow = call.find(" -> ");
    return Native(call.substr(0, arrow)) + " -> " + Native(call.substr(arrow + 4));
  }

  ScratchDir dir_;
  RecordingForm form_;
  Names unzips_;
};

TEST_F(DownloadCommandTest, BranchesFollowTheNameMarkers) {
  const std::string body = "PK\x03\x04 pretend archive";
  const struct {
    const char* name;
    std::size_t downloads;
    Names messages;
    Names unzips;  // file -> folder, relative to the run directory
  } cases[] = {
      {"a.zip", 1, {kDone + " 1"}, {"a.zip -> a\\"}},
      {"A.ZIP", 1, {kDone + " 1"}, {"A.ZIP -> A\\"}},
      {"setup.exe", 1, {kDone}, {}},
      {"b.rar", 1, {kDone}, {}},
      {"notes.txt", 1, {kDone}, {}},
      {"x.exe.zip", 2, {kDone, kDone + " 1"}, {"x.exe.zip -> x.exe\\"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dir_.Clear();
    form_ = RecordingForm();
    unzips_.clear();
    LoopbackServer server([&](const RecordedRequest&) { return Reply::Text(body, "application/zip"); });
    Click(server, c.name);
    EXPECT_EQ(server.Requests().size(), c.downloads);
    EXPECT_EQ(form_.Messages(), c.messages);
    Names expectedUnzips;
    for (const std::string& u : c.unzips) expectedUnzips.push_back(NativeUnzip(u));
    EXPECT_EQ(unzips_, expectedUnzips);
    // The file and nothing else: no folder for a RAR archive, no temporary files.
    EXPECT_EQ(dir_.List(), Names{c.name});
    EXPECT_EQ(ReadFile(dir_.path() / c.name), body);
    EXPECT_EQ(form_.TextsOf(Control::透明标签2).back(), "进度：100%");
  }
}

TEST_F(DownloadCommandTest, FailedDownloadLeavesTheFileThereAndStops) {
  const struct {
    const char* name;
    Reply reply;
    std::string message;
  } cases[] = {
      {"404", Reply::Status(404, "<html>Not Found</html>"), "信息：|下载失败!"},
      {"dropped half-way", [] {
         Reply r = Reply::Text(std::string(5000, 'n'), "application/zip");
         r.dropAfter = 2500;
         return r;
       }(), "信息：|下载失败!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    form_ = RecordingForm();
    WriteFile(dir_.path() / "x.exe.zip", "the old file");
    LoopbackServer server([&](const RecordedRequest&) { return c.reply; });
    Click(server, "x.exe.zip");
    // One attempt, one message, no unpacking, the old file whole.
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(form_.Messages(), Names{c.message});
    EXPECT_TRUE(unzips_.empty());
    EXPECT_EQ(ReadFile(dir_.path() / "x.exe.zip"), "the old file");
    EXPECT_EQ(dir_.List(), Names{"x.exe.zip"});
  }
}

TEST_F(DownloadCommandTest, UnreachableAddressSavesNothing) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("x"); });
  g_directUrl = "";
  g_fileName = "a.zip";
  DownloadAndUnpack(form_, DownloadPlace{dir_.AsText(), [this](const Text&, const Text&) {
                                           unzips_.push_back("called");
                                           return 1;
                                         }});
  EXPECT_EQ(form_.Messages(), Names{"信息：|不能打开该URL!"});
  EXPECT_TRUE(unzips_.empty());
  EXPECT_TRUE(dir_.List().empty());
}

TEST_F(DownloadCommandTest, FileThatCannotBeWrittenIsReported) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("content"); });
  // A folder where the file should go, and a run directory that is not there.
  fs::create_directory(dir_.path() / "notes.txt");
  Click(server, "notes.txt");
  EXPECT_EQ(form_.Messages(), Names{"信息：|保存失败!"});
  EXPECT_TRUE(server.Requests().empty());  // found out before downloading
  EXPECT_TRUE(fs::is_directory(dir_.path() / "notes.txt"));
  EXPECT_EQ(dir_.List(), Names{"notes.txt"});

  form_ = RecordingForm();
  g_fileName = "a.zip";
  DownloadAndUnpack(form_, DownloadPlace{dir_.AsText() + "\\missing", [this](const Text&, const Text&) {
                                           unzips_.push_back("called");
                                           return 1;
                                         }});
  EXPECT_EQ(form_.Messages(), Names{"信息：|保存失败!"});
  EXPECT_TRUE(unzips_.empty());
}

TEST_F(DownloadCommandTest, DiskFillingUpDuringTheDownloadKeepsTheEarlierFile) {
  WriteFile(dir_.path() / "big.bin", "the old file");
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text(std::string(3 << 20, 'b')); });
  // The file-size limit stands for a full disk: writes fail part-way.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit small = before;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Click(server, "big.bin");
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(form_.Messages(), Names{"信息：|保存失败!"});
  EXPECT_EQ(ReadFile(dir_.path() / "big.bin"), "the old file");
  EXPECT_EQ(dir_.List(), Names{"big.bin"});  // no part of the new file left behind
}

TEST_F(DownloadCommandTest, NamesFromTheNetworkStayInsideTheRunDirectory) {
  const struct {
    const char* name;    // as scraped (code page 936)
    const char* saved;   // in the run directory, UTF-8; "" when nothing is saved
    Names messages;
    Names unzips;
  } cases[] = {
      {"../evil.txt", ".._evil.txt", {kDone}, {}},
      {"..\\..\\evil.exe", ".._.._evil.exe", {kDone}, {}},
      {"a/b.zip", "a_b.zip", {kDone + " 1"}, {"a_b.zip -> a_b\\"}},
      {"\x81\x5C.zip", "乗.zip", {kDone + " 1"}, {"乗.zip -> 乗\\"}},  // 乗: its second byte is "\"
      {"ab.zip\xCE\xC4yyy", "ab.zip文yyy", {kDone + " 1"}, {"ab.zip文yyy -> ab.zip_\\"}},  // the cut splits 文
      // No folder of its own is left: not unpacked into the run directory.
      {".zip", ".zip", {kDone + " -1"}, {}},
      {"..zip", "..zip", {kDone + " -1"}, {}},
      {"...zip", "...zip", {kDone + " -1"}, {}},
      {"", "", {"信息：|保存失败!"}, {}},
      {".", "", {"信息：|保存失败!"}, {}},
      {"..", "", {"信息：|保存失败!"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Cp936ToUtf8(c.name));
    form_ = RecordingForm();
    unzips_.clear();
    dir_.Clear();
    LoopbackServer server([](const RecordedRequest&) { return Reply::Text("content"); });
    Click(server, c.name);
    EXPECT_EQ(form_.Messages(), c.messages);
    Names expectedUnzips;
    for (const std::string& u : c.unzips) expectedUnzips.push_back(NativeUnzip(u));
    EXPECT_EQ(unzips_, expectedUnzips);
    EXPECT_EQ(dir_.List(), *c.saved ? Names{c.saved} : Names{});
    EXPECT_EQ(server.Requests().size(), *c.saved ? 1u : 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path().parent_path()), fs::directory_iterator()), 1);
  }
}

TEST(SafeFileNameTest, KeepsOneComponent) {
  const struct {
    const char* name;
    const char* safe;
  } cases[] = {
      {"a.zip", "a.zip"},
      {"\xCE\xC4\xBC\xFE.zip", "\xCE\xC4\xBC\xFE.zip"},  // 文件.zip
      {"\x81\x5C", "\x81\x5C"},                          // 乗, whose second byte is "\"
      {"a/b\\c", "a_b_c"},
      {"../..", ".._.."},
      {"a\x01" "b\x7F" "c\t", "a_b_c_"},
      {"a:b?c*d\"e<f>g|h", "a_b_c_d_e_f_g_h"},
      {"abc\xD6", "abc_"},     // a lead byte without its second byte
      {"\xD6/x", "__x"},       // a lead byte cannot take "/" with it
      {"\x80" "a\xFF", "_a_"}, // bytes that start no character
      {"...", "..."},
      {" a ", " a "},
      {".", ""},
      {"..", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeFileName(c.name), c.safe) << c.name;
}

TEST_F(DownloadCommandTest, ZipArchiveIsUnpackedBesideIt) {
  const std::string archive =
      test::BuildZip({test::ZipFile("readme.txt", "hello"), test::ZipFile("sub/data.bin", std::string(3000, 'd'))});
  LoopbackServer server([&](const RecordedRequest&) { return Reply::Text(archive, "application/zip"); });
  g_directUrl = server.Origin() + "/a.zip";
  g_fileName = "a.zip";
  DownloadAndUnpack(form_, DownloadPlace{dir_.AsText(), [](const Text& archive, const Text& folder) {
                                           return ZipDecompress(archive, folder);
                                         }});
  EXPECT_EQ(form_.Messages(), Names{kDone + " 1"});
  EXPECT_EQ(ReadFile(dir_.path() / "a.zip"), archive);
  EXPECT_EQ(ReadFile(dir_.path() / "a" / "readme.txt"), "hello");
  EXPECT_EQ(ReadFile(dir_.path() / "a" / "sub" / "data.bin"), std::string(3000, 'd'));
}

// A stand-in RAR tool that writes its arguments, one a line, to a file.
class RecordingTool {
 public:
  explicit RecordingTool(const fs::path& dir) : script_(dir / "rar tool"), record_(dir / "args.txt") {
    WriteFile(script_, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record_.string() + "'\n");
    fs::permissions(script_, fs::perms::owner_all);
  }
  Text Path() const { return Utf8ToCp936(script_.string()); }
  // The arguments of the run, waiting a bounded time for a tool started without waiting.
  std::string Arguments() const {
    for (int i = 0; i < 200 && !fs::exists(record_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ReadFile(record_);
  }
  bool Ran() const { return fs::exists(record_); }

 private:
  fs::path script_;
  fs::path record_;
};

TEST_F(DownloadCommandTest, RarToolCommandLine) {
  RecordingTool tool(dir_.path());
  // No tool path: the refusal text, and nothing started.
  EXPECT_EQ(Cp936ToUtf8(RunRarExtract("a.rar", "d\\", Cp936("pw"), true, true, 1)), "rar路径不存在，请确认是否初始化成功");
  EXPECT_FALSE(tool.Ran());

  g_rarToolPath = tool.Path();
  // Each quoted path arrives whole: the folder's final "\" does not escape
  // the closing quote, and neither does a character whose second byte is 0x5C.
  const struct {
    Text destination;
    Text password;
    bool overwrite;
    std::string arguments;
  } cases[] = {
      {"D:\\t\\my a\\", "", false, "x\n-iext\n-ow\n-er\n-o-\nD:\\t\\my a.rar\nD:\\t\\my a\\\n"},
      {"D:\\t\\my a\\", "s3cret", true, "x\n-iext\n-ow\n-er\n-o+\nD:\\t\\my a.rar\nD:\\t\\my a\\\n-ps3cret\n"},
      {"D:\\t\\\x81\x5C", "", false, "x\n-iext\n-ow\n-er\n-o-\nD:\\t\\my a.rar\nD:\\t\\乗\n"},  // 乗
  };
  for (const auto& c : cases) {
    fs::remove(dir_.path() / "args.txt");
    EXPECT_EQ(RunRarExtract("D:\\t\\my a.rar", c.destination, c.password, c.overwrite, /*waitForTool=*/true), "");
    EXPECT_EQ(tool.Arguments(), c.arguments);
  }

  // The RAR branch hands the tool the saved archive and its folder.
  fs::remove(dir_.path() / "args.txt");
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("Rar!", "application/x-rar"); });
  Click(server, "b.rar");
  EXPECT_EQ(form_.Messages(), Names{kDone});
  EXPECT_EQ(tool.Arguments(), "x\n-iext\n-ow\n-er\n-o+\n" + Native("b.rar") + "\n" + Native("b\\") + "\n");
}

// What the command came to, for the front ends that act on it, and the
// observer that sees every piece after the progress display.
TEST_F(DownloadCommandTest, OutcomeTellsWhatWasSavedAndUnpacked) {
  const std::string body(2500, 'b');
  const struct {
    const char* name;
    int status;
    int unzipResult;
    bool saved;
    std::optional<int> reported;
    const char* folder;  // relative to the run directory
  } cases[] = {
      {"notes.txt", 200, 1, true, std::nullopt, ""},
      {"a.zip", 200, 1, true, 1, "a\\"},
      {"a.zip", 200, 0, true, 0, "a\\"},
      {".zip", 200, 1, true, -1, ""},  // no folder of its own: not handed to the unpacker
      {"x.exe.zip", 200, 1, true, 1, "x.exe\\"},
      {"a.zip", 404, 1, false, std::nullopt, ""},
      {"", 200, 1, false, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.status));
    dir_.Clear();
    LoopbackServer server([&](const RecordedRequest&) {
      return c.status == 200 ? Reply::Text(body, "application/zip") : Reply::Status(c.status, "missing");
    });
    g_directUrl = server.Origin() + "/direct/file";
    g_fileName = c.name;
    std::vector<std::int32_t> seen;
    const DownloadOutcome outcome = DownloadAndUnpack(
        form_, DownloadPlace{dir_.AsText(), [&](const Text&, const Text&) { return c.unzipResult; },
                             [&](std::int32_t total, std::int32_t received, std::int32_t, std::int32_t) {
                               EXPECT_EQ(total, 2500);
                               // The display has already shown this piece.
                               EXPECT_EQ(form_.GetPosition(Control::进度条1), received * 10000 / total);
                               seen.push_back(received);
                             }});
    EXPECT_EQ(outcome.saved, c.saved);
    EXPECT_EQ(outcome.savePath, c.saved ? dir_.AsText() + "\\" + c.name : Text());
    EXPECT_EQ(outcome.unzipResult, c.reported);
    EXPECT_EQ(outcome.extractFolder, *c.folder ? dir_.AsText() + "\\" + c.folder : Text());
    if (c.saved) {
      // Each download of the run is seen to its end (x.exe.zip is fetched twice).
      EXPECT_FALSE(seen.empty());
      EXPECT_EQ(seen.back(), 2500);
    }
  }
}

}  // namespace
}  // namespace qm
