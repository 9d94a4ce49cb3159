#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brimvale {
namespace {
namespace fs = std::filesystem;

class FileIoTest : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder tmp_{"brimvale-fileio"};
  const fs::path dir_ = tmp_.path();
};

TEST_F(FileIoTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
  for (const Durability durability : {Durability::kFlushed, Durability::kRebuilt}) {
    SCOPED_TRACE(static_cast<int>(durability));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::path file = dir_ / "status.json";
    ASSERT_TRUE(writeFileAtomically(file, "old", {.durability = durability}).has_value());
    ASSERT_TRUE(writeFileAtomically(file, "new content", {.durability = durability}).has_value());
    EXPECT_EQ(readFile(file).value(), "new content");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1);
  }
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

TEST_F(FileIoTest, AClaimCreatesOnlyWhereNothingIs) {
  fs::create_symlink("nowhere", dir_ / "dangling");
  const struct {
    const char* name;
    ClaimKind kind;
    bool created;
  } cases[] = {
      {"folder", ClaimKind::kFolder, true},
      {"folder", ClaimKind::kFolder, false},  // the second claim of one name
      {"file", ClaimKind::kFile, true},
      {"file", ClaimKind::kFolder, false},
      {"dangling", ClaimKind::kFile, false},  // a link, even to nothing, is taken
      {"dangling", ClaimKind::kFolder, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::error_code made = createExclusively(dir_ / c.name, c.kind);
    EXPECT_EQ(!made, c.created) << made.message();
    if (!c.created) {
      EXPECT_EQ(made, std::errc::file_exists);
    }
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "file"));
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
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

TEST_F(FileIoTest, NewFilesNeverReplaceOneAnother) {
  const fs::path name = dir_ / "brim-vale.conf.bak.20260101120000";
  ASSERT_TRUE(
      writeFileAtomically(dir_ / "brim-vale.conf.bak.20260101120000.1", "older").has_value());
  std::vector<fs::path> written;
  for (const char* content : {"first", "second", "third"}) {
    auto path = writeNewFile(name, content);
    ASSERT_TRUE(path.has_value()) << path.error().message();
    written.push_back(*path);
  }
  EXPECT_EQ(written, (std::vector<fs::path>{name, name.string() + ".2", name.string() + ".3"}));
  EXPECT_EQ(readFile(name).value(), "first");
  EXPECT_EQ(readFile(name.string() + ".1").value(), "older")
      << "an existing name is skipped, not replaced";
  EXPECT_EQ(readFile(name.string() + ".3").value(), "third");
  for (const auto& e : fs::directory_iterator(dir_)) {
    EXPECT_FALSE(temporarySiblingPid(e.path().filename().string())) << e.path();
  }
}

}  // namespace
}  // namespace brimvale
