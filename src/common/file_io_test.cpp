#include "common/file_io.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace brimvale {
namespace {
namespace fs = std::filesystem;

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-fileio-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FileIoTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
  fs::path file = dir_ / "status.json";
  ASSERT_TRUE(writeFileAtomically(file, "old").has_value());
  ASSERT_TRUE(writeFileAtomically(file, "new content").has_value());
  EXPECT_EQ(readFile(file).value(), "new content");
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1);
}

TEST_F(FileIoTest, FailedAtomicWriteKeepsTheOldFile) {
  fs::path file = dir_ / "conf";
  ASSERT_TRUE(writeFileAtomically(file, "keep me").has_value());
  // The temporary sibling cannot be created inside a missing folder.
  auto r = writeFileAtomically(file, "lost", {.tempPath = dir_ / "missing" / "tmp"});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, Errc::kNotFound);
  EXPECT_EQ(readFile(file).value(), "keep me");
}

TEST_F(FileIoTest, ReadLastLinesTakesTheTailOldestFirst) {
  struct Case {
    std::string content;
    std::size_t n;
    std::vector<std::string> expected;
  };
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\n";
  const Case cases[] = {
      {"", 5, {}},
      {"a\nb\nc\nd\ne\n", 2, {"d", "e"}},
      {"a\nb", 5, {"a", "b"}},
      {"\n\nlast", 2, {"", "last"}},
      {"only\n", 1, {"only"}},
      {big, 3, {"line 19997", "line 19998", "line 19999"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    fs::path file = dir_ / "log";
    ASSERT_TRUE(writeFileAtomically(file, c.content).has_value());
    EXPECT_EQ(readLastLines(file, c.n), c.expected);
  }
  EXPECT_TRUE(readLastLines(dir_ / "absent", 3).empty());
}

TEST_F(FileIoTest, AppendAddsToTheEnd) {
  fs::path file = dir_ / "actions.tsv";
  ASSERT_TRUE(appendToFile(file, "one\n").has_value());
  ASSERT_TRUE(appendToFile(file, "two\n").has_value());
  ASSERT_TRUE(touchFile(file).has_value());
  EXPECT_EQ(readFile(file).value(), "one\ntwo\n");
}

TEST_F(FileIoTest, RenameNeverReplacesWhatIsThere) {
  fs::create_directories(dir_ / "a" / "inside");
  fs::create_directories(dir_ / "b");
  EXPECT_EQ(renameNoReplace(dir_ / "a", dir_ / "b"), std::errc::file_exists);
  EXPECT_TRUE(fs::exists(dir_ / "a" / "inside"));
  fs::create_symlink("nowhere", dir_ / "dangling");
  EXPECT_EQ(renameNoReplace(dir_ / "a", dir_ / "dangling"), std::errc::file_exists);
  EXPECT_FALSE(renameNoReplace(dir_ / "a", dir_ / "c"));
  EXPECT_TRUE(fs::exists(dir_ / "c" / "inside"));
  EXPECT_FALSE(fs::exists(dir_ / "a"));
}

}  // namespace
}  // namespace brimvale
