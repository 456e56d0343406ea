#include "platform/runtime.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/codepage.h"
#include "tests/support/files.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;
using TempDir = test::ScratchDir;

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

// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(RuntimeTest, AtomicSaveReplacesTheWholeFileAndLeavesNothingElse) {
  for (const bool sync : {true, false}) {
    TempDir dir;
    const Text path = Utf8ToCp936(dir.path().string()) + "\\" + Cp936("文件.bin");
    ASSERT_TRUE(SaveBytesAtomically(path, Bytes{'a', 0, 'b'}, sync));
    EXPECT_EQ(ReadFile(dir.path() / "文件.bin"), std::string("a\0b", 3));
    ASSERT_TRUE(SaveBytesAtomically(path, Bytes{'z'}, sync));
    EXPECT_EQ(ReadFile(dir.path() / "文件.bin"), "z");
    ASSERT_TRUE(SaveBytesAtomically(path, Bytes{}, sync));
    EXPECT_EQ(fs::file_size(dir.path() / "文件.bin"), 0u);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"文件.bin"});
  }
}

TEST(RuntimeTest, AtomicSaveThatFailsLeavesTheTargetAsItWas) {
  TempDir dir;
  const Text folder = Utf8ToCp936(dir.path().string());
  std::ofstream(dir.path() / "kept.bin") << "old content";
  fs::create_directory(dir.path() / "sub");

  // A write that fails part-way, as on a full disk: the file-size limit.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit small = before;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = SaveBytesAtomically(folder + "\\kept.bin", Bytes(100000, 'n'));
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadFile(dir.path() / "kept.bin"), "old content");

  // A folder is not replaced by a file; a missing folder is not made.
  EXPECT_FALSE(SaveBytesAtomically(folder + "\\sub", Bytes{'x'}));
  EXPECT_TRUE(fs::is_directory(dir.path() / "sub"));
  EXPECT_FALSE(SaveBytesAtomically(folder + "\\missing\\a.bin", Bytes{'x'}));
  EXPECT_FALSE(SaveBytesAtomically(folder + "\\", Bytes{'x'}));
  EXPECT_FALSE(SaveBytesAtomically("", Bytes{'x'}));
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"kept.bin", "sub"}));
}

TEST(RuntimeTest, AtomicSaveReplacesALinkInsteadOfWritingThroughIt) {
  TempDir dir;
  std::ofstream(dir.path() / "elsewhere.txt") << "not yours";
  fs::create_symlink(dir.path() / "elsewhere.txt", dir.path() / "a.txt");
  ASSERT_TRUE(SaveBytesAtomically(Utf8ToCp936(dir.path().string()) + "\\a.txt", Bytes{'n', 'e', 'w'}));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "a.txt"));
  EXPECT_EQ(ReadFile(dir.path() / "a.txt"), "new");
  EXPECT_EQ(ReadFile(dir.path() / "elsewhere.txt"), "not yours");
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
