#include "platform/runtime.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/codepage.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / ("quillmere-runtime-" + std::to_string(getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RuntimeTest, RunDirectoryIsTheFolderOfTheExecutable) {
  const Text dir = RunDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_EQ(fs::canonical("/proc/self/exe").parent_path(), fs::path(Cp936ToUtf8(dir)));
}

TEST(RuntimeTest, WriteCreatesTruncatesAndReportsFailure) {
  TempDir dir;
  // The path as the system builds it: backslashes, code page 936 (a Chinese name).
  const Text path = Utf8ToCp936(dir.path().string()) + "\\" + Cp936("文件.bin");
  ASSERT_TRUE(WriteBytesToFile(path, Bytes{'a', 0, 'b', 'c'}));
  EXPECT_EQ(ReadFile(dir.path() / "文件.bin"), std::string("a\0bc", 4));
  ASSERT_TRUE(WriteBytesToFile(path, Bytes{'z'}));
  EXPECT_EQ(ReadFile(dir.path() / "文件.bin"), "z");
  ASSERT_TRUE(WriteBytesToFile(path, Bytes{}));
  EXPECT_EQ(fs::file_size(dir.path() / "文件.bin"), 0u);
  // The folder itself cannot be written as a file.
  EXPECT_FALSE(WriteBytesToFile(Utf8ToCp936(dir.path().string()) + "\\", Bytes{'x'}));
  EXPECT_FALSE(WriteBytesToFile("", Bytes{'x'}));
}

TEST(RuntimeTest, CommandLinesSplitByTheWindowsRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("explorer https://a/"), (V{"explorer", "https://a/"}));
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\rar.exe\" x  \"a b.rar\""),
            (V{"C:\\Program Files\\rar.exe", "x", "a b.rar"}));
  EXPECT_EQ(SplitCommandLine("\"D:\\t\\a\\\\\" next"), (V{"D:\\t\\a\\", "next"}));
  EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
  EXPECT_EQ(SplitCommandLine("   "), V{});
}

// A stand-in URL opener on PATH that records its arguments.
class OpenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("PATH");
    oldPath_ = old != nullptr ? old : "";
    record_ = dir_.path() / "opened.txt";
    const fs::path opener = dir_.path() / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << record_.string() << ".tmp'\nmv '"
                          << record_.string() << ".tmp' '" << record_.string() << "'\n";
    fs::permissions(opener, fs::perms::owner_all);
    setenv("PATH", (dir_.path().string() + ":" + oldPath_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", oldPath_.c_str(), 1); }

  bool WaitForRecord() {
    for (int i = 0; i < 500 && !fs::exists(record_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(record_);
  }

  TempDir dir_;
  fs::path record_;
  std::string oldPath_;
};

TEST_F(OpenerTest, ExplorerWithAnAddressOpensItWithTheDesktopOpener) {
  StartProgram("explorer https://quillmere.example/", kWindowNormal, /*waitForExit=*/false);
  ASSERT_TRUE(WaitForRecord());
  EXPECT_EQ(ReadFile(record_), "https://quillmere.example/\n");
}

TEST_F(OpenerTest, WaitingReturnsAfterTheProgramEnded) {
  StartProgram("xdg-open \"two words\"", kWindowHidden, /*waitForExit=*/true);
  EXPECT_EQ(ReadFile(record_), "two words\n");
}

TEST_F(OpenerTest, AMissingProgramIsIgnored) {
  setenv("PATH", "/nonexistent", 1);
  StartProgram("explorer https://quillmere.example/", kWindowNormal, false);
  StartProgram("no-such-program-here", kWindowNormal, true);
  StartProgram("", kWindowNormal, true);
  EXPECT_FALSE(fs::exists(record_));
}

TEST(RuntimeTest, TickCountAdvancesInMilliseconds) {
  const std::uint32_t a = TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::uint32_t elapsed = TickCount() - a;
  EXPECT_GE(elapsed, 25u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(RuntimeDeathTest, EndProgramRunsTheCleanupsNewestFirstAndExitsWithTheCode) {
  EXPECT_EXIT(
      {
        RegisterCleanup([] { std::fputs("first", stderr); });
        RegisterCleanup([] { std::fputs("second-", stderr); });
        EndProgram(3);
      },
      ::testing::ExitedWithCode(3), "second-first");
}

}  // namespace
}  // namespace qm
