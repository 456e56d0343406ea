#include "platform/zip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tests/support/files.h"
#include "tests/support/zip_builder.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::BuildZip;
using test::NoiseBytes;
using test::TextBytes;
using test::ZipFile;
using test::ZipFolder;
using test::ZipItem;
using test::ZipLink;

constexpr std::size_t kLarge = 5u << 20;  // above the size inflated in memory

// A path as the system builds it: code page 936, backslashes.
Text SystemPath(const fs::path& path, bool trailingSeparator = false) {
  std::string s = path.string();
  std::replace(s.begin(), s.end(), '/', '\\');
  if (trailingSeparator) s += '\\';
  return Utf8ToCp936(s);
}

// Everything below `dir`, relative, sorted; folders end in "/", links in "@".
// Links are not followed.
std::vector<std::string> Tree(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string name = fs::relative(it->path(), dir).generic_string();
    if (it->is_symlink()) {
      name += "@";
    } else if (it->is_directory()) {
      name += "/";
    }
    out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::pair<std::string, ZipProblem>> Failures(const ZipReport& report) {
  std::vector<std::pair<std::string, ZipProblem>> out;
  for (const ZipEntryFailure& f : report.failures) out.emplace_back(f.name, f.problem);
  return out;
}

}  // namespace

// Readable names in failure messages.
void PrintTo(ZipProblem problem, std::ostream* os) {
  static const char* const kNames[] = {"kNone",     "kEmptyPath",  "kNoArchive",         "kFolderNotCreated",
                                       "kNotZip",   "kUnreadable", "kTooLarge",          "kUnsafeName",
                                       "kLink",     "kEncrypted",  "kUnsupportedMethod", "kDamaged",
                                       "kConflict", "kNotWritten"};
  *os << kNames[static_cast<int>(problem)];
}

namespace {

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    root_ = fs::temp_directory_path() / ("quillmere-zip-" + std::to_string(getpid()) + "-" + test);
    fs::remove_all(root_);
    fs::create_directories(root_);
    dest_ = root_ / "dest";
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes the archive beside the destination and unpacks it there.
  int Unpack(const std::string& archive, ZipReport* report = nullptr) {
    test::WriteFile(root_ / "a.zip", archive);
    return ZipDecompress(SystemPath(root_ / "a.zip"), SystemPath(dest_, /*trailingSeparator=*/true), report);
  }

  fs::path root_;
  fs::path dest_;
};

TEST_F(ZipTest, UnpacksFoldersAndFilesOfEveryKindIntoNewFolders) {
  dest_ = root_ / "made" / "for" / "it";  // none of these exist yet
  ZipItem attributeFolder;                // a folder marked by its DOS attribute only
  attributeFolder.name = "attrdir";
  attributeFolder.madeBy = 0x0014;
  attributeFolder.external = 0x10;
  attributeFolder.deflate = false;
  ZipItem script = ZipFile("run.sh", "#!/bin/sh\necho hi\n");
  script.external = 0100755u << 16;
  std::vector<ZipItem> items = {
      ZipFolder("a/"),
      ZipFile("top.txt", "top level\n"),
      ZipFile("a/b/c/deep.txt", "stored deep down", /*deflate=*/false),
      ZipFile("empty.txt", ""),
      ZipFile("empty-stored.txt", "", /*deflate=*/false),
      ZipFolder("emptydir/"),
      attributeFolder,
      script,
      ZipFile("big/text.txt", TextBytes(kLarge)),                           // inflated into a mapping
      ZipFile("big/noise.bin", NoiseBytes(kLarge)),                         // hardly compressed: streamed
      ZipFile("big/stored.bin", NoiseBytes(kLarge, 2), /*deflate=*/false),  // copied
      ZipFile("big/medium.txt", TextBytes(100000, 3)),                      // inflated in memory
  };
  for (int i = 0; i < 12; ++i)
    items.push_back(ZipFile("many/f" + std::to_string(i) + ".txt", TextBytes(i * 300, i)));
  // Folders whose names sort between a folder and its subfolders, and a deep one.
  for (const char* name : {"o/b/c/x.txt", "o/b-c/x.txt", "o/b/x.txt", "o/b.c/x.txt"})
    items.push_back(ZipFile(name, name));
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "d/";
  items.push_back(ZipFile(deep + "bottom.txt", "deep"));

  ZipReport report;
  ASSERT_EQ(Unpack(BuildZip(items), &report), 1);
  EXPECT_EQ(report.problem, ZipProblem::kNone);
  EXPECT_EQ(report.entries, static_cast<int>(items.size()));
  EXPECT_EQ(report.written, static_cast<int>(items.size()));
  EXPECT_TRUE(report.failures.empty());

  for (const ZipItem& item : items) {
    const fs::path path = dest_ / item.name;
    if (item.name.back() == '/' || item.name == "attrdir") {
      EXPECT_TRUE(fs::is_directory(path)) << item.name;
    } else {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << item.name;
      EXPECT_TRUE(test::ReadFile(path) == item.data) << item.name;
    }
  }
  EXPECT_TRUE(fs::is_empty(dest_ / "emptydir"));
  // No temporary file stays behind.
  for (const std::string& name : Tree(dest_)) EXPECT_EQ(name.find(".qmz-"), std::string::npos) << name;

  // Times are the entries' (DOS times are local); the execute bit comes from
  // the Unix mode.
  std::tm t{};
  t.tm_year = test::kZipYear - 1900;
  t.tm_mon = test::kZipMonth - 1;
  t.tm_mday = test::kZipDay;
  t.tm_hour = test::kZipHour;
  t.tm_min = test::kZipMinute;
  t.tm_sec = test::kZipSecond;
  t.tm_isdst = -1;
  const std::time_t expected = std::mktime(&t);
  for (const char* name : {"top.txt", "a/b/c/deep.txt", "big/text.txt", "big/noise.bin", "big/stored.bin"}) {
    struct stat st {};
    ASSERT_EQ(stat((dest_ / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, expected) << name;
  }
  struct stat st {};
  ASSERT_EQ(stat((dest_ / "run.sh").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
  ASSERT_EQ(stat((dest_ / "top.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IXUSR, 0u);
}

TEST_F(ZipTest, NamesWithoutTheUtf8FlagAreCodePage936) {
  const Text gbkFolder = Cp936("中文目录/文件.txt");
  // 嘰 is 87 5C in code page 936: its second byte is a backslash, which must
  // not split the name.
  const Text gbkBackslashByte = Cp936("嘰嘰.txt");
  ASSERT_EQ(gbkBackslashByte.substr(0, 2), "\x87\x5C");
  ZipItem utf8 = ZipFile("日本語/ファイル.txt", "flagged");  // characters code page 936 lacks
  utf8.flags = 0x0800;
  ZipItem utf8Chinese = ZipFile("汉字.txt", "flagged too");
  utf8Chinese.flags = 0x0800;
  const Text oldName = Cp936("旧名.txt");
  ZipItem unicodeField = ZipFile(oldName, "renamed");
  unicodeField.extra = test::UnicodePathExtra(oldName, "Grüße.txt");

  ZipReport report;
  ASSERT_EQ(Unpack(BuildZip({ZipFile(gbkFolder, "gbk"), ZipFile(gbkBackslashByte, "one file"), utf8,
                             utf8Chinese, unicodeField}),
                   &report),
            1)
      << testing::PrintToString(report.problem) << testing::PrintToString(Failures(report));
  EXPECT_EQ(test::ReadFile(dest_ / fs::path(u8"中文目录") / fs::path(u8"文件.txt")), "gbk");
  EXPECT_EQ(test::ReadFile(dest_ / fs::path(u8"嘰嘰.txt")), "one file");
  EXPECT_EQ(test::ReadFile(dest_ / fs::path(u8"日本語") / fs::path(u8"ファイル.txt")), "flagged");
  EXPECT_EQ(test::ReadFile(dest_ / fs::path(u8"汉字.txt")), "flagged too");
  EXPECT_EQ(test::ReadFile(dest_ / fs::path(u8"Grüße.txt")), "renamed");
  EXPECT_EQ(Tree(dest_).size(), 7u);  // five files, two folders: nothing under a mangled name
}

TEST_F(ZipTest, Zip64ArchivesFromPythonAndFromTheBuilder) {
  if (std::system("python3 -c 'import zipfile' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is missing";
  const fs::path script = root_ / "make.py";
  test::WriteFile(script,
           "import sys, zipfile\n"
           "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
           "    info = zipfile.ZipInfo('z/deflated.txt')\n"
           "    info.compress_type = zipfile.ZIP_DEFLATED\n"
           "    with z.open(info, 'w', force_zip64=True) as f:\n"
           "        f.write(b'zip64 ' * 1000)\n"
           "    with z.open('z/stored.bin', 'w', force_zip64=True) as f:\n"
           "        f.write(bytes(range(256)) * 4)\n"
           "    z.writestr('plain.txt', 'plain')\n");
  const fs::path python = root_ / "python.zip";
  ASSERT_EQ(std::system(("python3 '" + script.string() + "' '" + python.string() + "'").c_str()), 0);
  const std::string pythonZip = test::ReadFile(python);
  ASSERT_EQ(pythonZip.substr(18, 8), std::string(8, '\xFF')) << "sizes not in a Zip64 field";

  std::string stored;
  for (int i = 0; i < 4; ++i)
    for (int b = 0; b < 256; ++b) stored.push_back(static_cast<char>(b));
  ASSERT_EQ(Unpack(pythonZip), 1);
  EXPECT_EQ(test::ReadFile(dest_ / "z/deflated.txt").size(), 6000u);
  EXPECT_EQ(test::ReadFile(dest_ / "z/stored.bin"), stored);
  EXPECT_EQ(test::ReadFile(dest_ / "plain.txt"), "plain");

  ZipItem big = ZipFile("builder/big.txt", TextBytes(kLarge));
  big.zip64 = true;
  ZipItem small = ZipFile("builder/small.bin", stored, /*deflate=*/false);
  small.zip64 = true;
  ASSERT_EQ(Unpack(BuildZip({big, small})), 1);
  EXPECT_TRUE(test::ReadFile(dest_ / "builder/big.txt") == big.data);
  EXPECT_EQ(test::ReadFile(dest_ / "builder/small.bin"), stored);
}

TEST_F(ZipTest, NamesLeavingTheFolderAndLinksAreRefusedTheRestUnpacked) {
  fs::create_directories(root_ / "outside");
  const std::string absolute = (root_ / "outside" / "abs.txt").string();
  ZipItem fifo = ZipFile("pipe", "");
  fifo.external = 0010644u << 16;
  struct Case {
    ZipItem item;
    ZipProblem problem;
  };
  const std::vector<Case> hostile = {
      {ZipFile("../evil1.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("a/../../evil2.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("a/../inside-but-climbing.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile(absolute, "x"), ZipProblem::kUnsafeName},
      {ZipFile("C:/evil4.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("c:evil5.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("..\\evil6.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("a\\..\\..\\evil7.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("\\\\server\\share\\evil8.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("\\evil9.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("bell\x07.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("new\nline.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile("del\x7F.txt", "x"), ZipProblem::kUnsafeName},
      {ZipFile(std::string("nul\0byte.txt", 12), "x"), ZipProblem::kUnsafeName},
      {ZipLink("link", (root_ / "outside").string()), ZipProblem::kLink},
      {ZipLink("relative-link", "../outside"), ZipProblem::kLink},
      {fifo, ZipProblem::kLink},
  };
  std::vector<ZipItem> items = {ZipFile("ok.txt", "fine")};
  std::vector<std::pair<std::string, ZipProblem>> expected;
  for (const Case& c : hostile) {
    items.push_back(c.item);
    expected.emplace_back(c.item.name, c.problem);
  }
  items.push_back(ZipFile("sub/ok2.txt", "fine too"));
  items.push_back(ZipFile("link/through.txt", "stays inside"));  // "link" is a plain folder now

  ZipReport report;
  EXPECT_EQ(Unpack(BuildZip(items), &report), 0);
  EXPECT_EQ(Failures(report), expected);
  EXPECT_EQ(report.written, 3);
  EXPECT_EQ(test::ReadFile(dest_ / "ok.txt"), "fine");
  EXPECT_EQ(test::ReadFile(dest_ / "sub/ok2.txt"), "fine too");
  EXPECT_EQ(Tree(root_),
            (std::vector<std::string>{"a.zip", "dest/", "dest/link/", "dest/link/through.txt", "dest/ok.txt",
                                      "dest/sub/", "dest/sub/ok2.txt", "outside/"}));
}

TEST_F(ZipTest, LinksAlreadyInTheFolderAreNotFollowed) {
  test::WriteFile(root_ / "outside" / "target.txt", "keep");
  fs::create_directories(dest_);
  fs::create_directory_symlink(root_ / "outside", dest_ / "escape");
  fs::create_symlink(root_ / "outside" / "target.txt", dest_ / "replace-me");

  ZipReport report;
  EXPECT_EQ(Unpack(BuildZip({ZipFile("escape/pwn.txt", "x"), ZipFile("replace-me", "new")}), &report), 0);
  EXPECT_EQ(Failures(report),
            (std::vector<std::pair<std::string, ZipProblem>>{{"escape/pwn.txt", ZipProblem::kNotWritten}}));
  EXPECT_EQ(Tree(root_ / "outside"), std::vector<std::string>{"target.txt"});
  EXPECT_EQ(test::ReadFile(root_ / "outside" / "target.txt"), "keep");
  // The link itself was replaced by the file, not written through.
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest_ / "replace-me")));
  EXPECT_EQ(test::ReadFile(dest_ / "replace-me"), "new");
}

TEST_F(ZipTest, DamagedAndEncryptedEntriesLeaveNoFileBehind) {
  test::WriteFile(dest_ / "bad-crc.txt", "old");  // must survive its damaged replacement
  auto withCrc = [](ZipItem item) {
    item.crc = 0x12345678;
    return item;
  };
  ZipItem broken;  // a block of the reserved type
  broken.name = "broken.txt";
  broken.method = 8;
  broken.data = "\xFF\xFF\xFF\xFF";
  broken.size = 10;
  ZipItem lies = ZipFile("lies.txt", TextBytes(100));
  lies.size = 10;  // inflates to more than it declares
  ZipItem bomb = ZipFile("bomb.txt", std::string(kLarge, '\0'));
  bomb.size = 1000;
  ZipItem encrypted = ZipFile("encrypted.txt", "secret");
  encrypted.flags = 0x0001;
  ZipItem bzip2 = ZipFile("bzip2.txt", "BZh9");
  bzip2.method = 12;

  ZipReport report;
  EXPECT_EQ(Unpack(BuildZip({ZipFile("good.txt", "good"), withCrc(ZipFile("bad-crc.txt", "new")),
                             withCrc(ZipFile("big-noise.bin", NoiseBytes(kLarge))),
                             withCrc(ZipFile("big-text.txt", TextBytes(kLarge))),
                             withCrc(ZipFile("big-stored.bin", NoiseBytes(kLarge), /*deflate=*/false)),
                             broken, lies, bomb, encrypted, bzip2, ZipFile("good2.txt", "good too")}),
                   &report),
            0);
  EXPECT_EQ(Failures(report), (std::vector<std::pair<std::string, ZipProblem>>{
                                  {"bad-crc.txt", ZipProblem::kDamaged},
                                  {"big-noise.bin", ZipProblem::kDamaged},
                                  {"big-text.txt", ZipProblem::kDamaged},
                                  {"big-stored.bin", ZipProblem::kDamaged},
                                  {"broken.txt", ZipProblem::kDamaged},
                                  {"lies.txt", ZipProblem::kDamaged},
                                  {"bomb.txt", ZipProblem::kDamaged},
                                  {"encrypted.txt", ZipProblem::kEncrypted},
                                  {"bzip2.txt", ZipProblem::kUnsupportedMethod},
                              }));
  // Only the good entries and the untouched old file: no partial or temporary files.
  EXPECT_EQ(Tree(dest_), (std::vector<std::string>{"bad-crc.txt", "good.txt", "good2.txt"}));
  EXPECT_EQ(test::ReadFile(dest_ / "bad-crc.txt"), "old");
}

TEST_F(ZipTest, FilesThatAreNoReadableArchiveGiveZero) {
  const std::string valid = BuildZip({ZipFile("one.txt", TextBytes(3000)), ZipFile("two.txt", "two")});
  // The compressed size, in both headers, reaching far past the end of the file.
  std::string beyond = BuildZip({ZipFile("beyond.txt", "x")});
  beyond[21] = beyond[beyond.find(std::string("PK\x01\x02", 4)) + 23] = '\x7F';
  struct Case {
    const char* what;
    std::string bytes;
    ZipProblem problem;
  };
  const std::vector<Case> cases = {
      {"not a zip", "hello, world", ZipProblem::kNotZip},
      {"empty file", "", ZipProblem::kNotZip},
      {"archive without entries", BuildZip({}), ZipProblem::kNotZip},
      {"cut in half", valid.substr(0, valid.size() / 2), ZipProblem::kUnreadable},
      {"end record cut short", valid.substr(0, valid.size() - 10), ZipProblem::kUnreadable},
      {"only a local header", valid.substr(0, 30), ZipProblem::kUnreadable},
      {"data beyond the end", beyond, ZipProblem::kDamaged},
  };
  for (const Case& c : cases) {
    fs::remove_all(dest_);
    ZipReport report;
    EXPECT_EQ(Unpack(c.bytes, &report), 0) << c.what;
    EXPECT_EQ(report.problem, c.problem) << c.what;
    // The folder is made before the archive is read; nothing goes into it.
    EXPECT_TRUE(fs::is_directory(dest_)) << c.what;
    EXPECT_TRUE(Tree(dest_).empty()) << c.what;
  }
}

TEST_F(ZipTest, EmptyPathsAndMissingArchivesGiveMinusOneUnwritableFoldersZero) {
  test::WriteFile(root_ / "a.zip", BuildZip({ZipFile("one.txt", "one")}));
  test::WriteFile(root_ / "file.txt", "a file, not a folder");
  struct Case {
    Text archive;
    Text destination;
    int result;
    ZipProblem problem;
  };
  const std::vector<Case> cases = {
      {"", SystemPath(dest_), -1, ZipProblem::kEmptyPath},
      {SystemPath(root_ / "a.zip"), "", -1, ZipProblem::kEmptyPath},
      {SystemPath(root_ / "missing.zip"), SystemPath(dest_), -1, ZipProblem::kNoArchive},
      {SystemPath(root_ / "a.zip"), SystemPath(root_ / "file.txt" / "sub"), 0, ZipProblem::kFolderNotCreated},
  };
  for (const Case& c : cases) {
    ZipReport report;
    EXPECT_EQ(ZipDecompress(c.archive, c.destination, &report), c.result)
        << c.archive << " " << c.destination;
    EXPECT_EQ(report.problem, c.problem) << c.archive << " " << c.destination;
    EXPECT_FALSE(fs::exists(dest_));
  }
}

TEST_F(ZipTest, ExistingFilesAreReplacedReadOnlyOnesToo) {
  test::WriteFile(dest_ / "ro.txt", "old");
  test::WriteFile(dest_ / "big-ro.txt", "old");
  test::WriteFile(dest_ / "sub" / "keep.txt", "keep");
  fs::permissions(dest_ / "ro.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dest_ / "big-ro.txt", fs::perms::owner_read);
  const std::string archive = BuildZip(
      {ZipFile("ro.txt", "new"), ZipFile("big-ro.txt", TextBytes(kLarge)), ZipFile("sub/other.txt", "o")});

  for (int round = 0; round < 2; ++round) {  // a second unpack replaces the first
    ASSERT_EQ(Unpack(archive), 1) << round;
    EXPECT_EQ(test::ReadFile(dest_ / "ro.txt"), "new");
    EXPECT_EQ(test::ReadFile(dest_ / "big-ro.txt").size(), kLarge);
    EXPECT_EQ(test::ReadFile(dest_ / "sub" / "keep.txt"), "keep");
    EXPECT_NE(fs::status(dest_ / "ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_NE(fs::status(dest_ / "big-ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  }
}

TEST_F(ZipTest, FoldersWinOverFilesAndTheLastOfSeveralNamesWins) {
  test::WriteFile(dest_ / "blocker", "mine");
  test::WriteFile(dest_ / "isdir" / "inner.txt", "inner");
  ZipReport report;
  EXPECT_EQ(Unpack(BuildZip({ZipFile("dup.txt", "first"), ZipFile("x", "a file where a folder is needed"),
                             ZipFile("x/y.txt", "y"), ZipFile("blocker/inner.txt", "z"),
                             ZipFile("isdir", "file"), ZipFile("dup.txt", "second")}),
                   &report),
            0);
  EXPECT_EQ(Failures(report), (std::vector<std::pair<std::string, ZipProblem>>{
                                  {"x", ZipProblem::kConflict},
                                  {"blocker/inner.txt", ZipProblem::kNotWritten},
                                  {"isdir", ZipProblem::kNotWritten},
                              }));
  EXPECT_EQ(test::ReadFile(dest_ / "dup.txt"), "second");
  EXPECT_EQ(test::ReadFile(dest_ / "x" / "y.txt"), "y");
  EXPECT_EQ(test::ReadFile(dest_ / "blocker"), "mine");
  EXPECT_EQ(test::ReadFile(dest_ / "isdir" / "inner.txt"), "inner");
}

TEST_F(ZipTest, SizesBeyondTheDiskAreRefusedBeforeAnythingIsWritten) {
  ZipItem huge = ZipFile("huge.bin", "tiny in truth");
  huge.zip64 = true;
  huge.size = 1ull << 62;
  ZipReport report;
  EXPECT_EQ(Unpack(BuildZip({ZipFile("first.txt", "first"), huge}), &report), 0);
  EXPECT_EQ(report.problem, ZipProblem::kTooLarge);
  EXPECT_TRUE(Tree(dest_).empty());
}

}  // namespace
}  // namespace qm
