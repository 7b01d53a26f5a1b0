#include "platform/files/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/common/test_support.h"

namespace qv::files {
namespace {

using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

size_t EntriesIn(const std::string& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                           std::filesystem::directory_iterator()));
}

TEST(ReplaceFile, KeepsTheModeOfTheFileItReplaces) {
  TempDir dir;
  const std::string file = dir.File("secret");
  ASSERT_TRUE(WriteFile(file, "old"));
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  ASSERT_EQ(ReplaceFile(file, "new"), 0);
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(ModeOf(file), 0600u);
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(ReplaceFile(file, "newer"), 0);
  EXPECT_EQ(ModeOf(file), 0640u);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);  // no temporary file left
}

TEST(ReplaceFile, ANewFileTakesTheGivenModeLessTheUmask) {
  TempDir dir;
  const mode_t mask = umask(022);
  ASSERT_EQ(ReplaceFile(dir.File("plain"), "x"), 0);
  ASSERT_EQ(ReplaceFile(dir.File("private"), "x", 0600), 0);
  umask(mask);
  EXPECT_EQ(ModeOf(dir.File("plain")), 0644u);
  EXPECT_EQ(ModeOf(dir.File("private")), 0600u);
}

TEST(ReplaceFile, WritesThroughSymbolicLinks) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
  const std::string target = dir.File("real/data");
  ASSERT_TRUE(WriteFile(target, "old"));
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  // A relative link to a link to the file.
  ASSERT_EQ(symlink("real/data", dir.File("inner").c_str()), 0);
  ASSERT_EQ(symlink("inner", dir.File("outer").c_str()), 0);
  ASSERT_EQ(ReplaceFile(dir.File("outer"), "new"), 0);
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(ModeOf(target), 0600u);
  struct stat info {};
  ASSERT_EQ(lstat(dir.File("outer").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(EntriesIn(dir.File("real")), 1u);
  // A dangling link gets its file.
  ASSERT_EQ(symlink("real/later", dir.File("dangling").c_str()), 0);
  ASSERT_EQ(ReplaceFile(dir.File("dangling"), "made"), 0);
  EXPECT_EQ(ReadFile(dir.File("real/later")), "made");
  // A loop is no file: the write fails and changes nothing.
  ASSERT_EQ(symlink("loop2", dir.File("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", dir.File("loop2").c_str()), 0);
  EXPECT_NE(ReplaceFile(dir.File("loop1"), "x"), 0);
}

TEST(ReplaceFile, FailuresLeaveTheOldFileAndNoTemporary) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0700), 0);
  EXPECT_EQ(ReplaceFile(dir.File("folder"), "x"), EISDIR);
  EXPECT_EQ(ReplaceFile(dir.File("missing/file"), "x"), ENOENT);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

}  // namespace
}  // namespace qv::files
