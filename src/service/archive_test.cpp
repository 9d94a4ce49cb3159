#include "service/archive.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/file_io.h"
#include "common/timestamps.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

TEST(Archive, SkipsLockAndMetadataNames) {
  const char* skipped[] = {"~$budget.xlsx", "~$a.docx", "~$deck.pptx", ".~lock.report.odt#",
                           ".DS_Store",     "Icon\r",   "._photo.jpg", "notes.swp", "notes.swo"};
  const char* kept[] = {"budget.xlsx", "~budget.xlsx", "Icon", "Icons", "DS_Store",
                        "notes.swp.txt", ".~lock.report.odt", "line\nbreak.swpx"};
  for (const char* name : skipped) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(isLockOrMetadataName(name));
  }
  for (const char* name : kept) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(isLockOrMetadataName(name));
  }
}

class ArchiveFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-archive-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ArchiveFolder, CollisionsGoToTheMonthFolderThenGetAStamp) {
  const std::time_t now = 1'777'600'000;
  const std::string month = formatLocal(now, "%Y-%m");
  const std::string name = "it's \"report\"\n.pdf";
  EXPECT_EQ(archiveTarget(dir_, name, now), dir_ / name);
  EXPECT_FALSE(fs::exists(dir_ / month)) << "the month folder is made only when needed";
  std::ofstream(dir_ / name) << "a";
  EXPECT_EQ(archiveTarget(dir_, name, now), dir_ / month / name);
  EXPECT_TRUE(fs::is_directory(dir_ / month));
  std::ofstream(dir_ / month / name) << "b";
  EXPECT_EQ(archiveTarget(dir_, name, now), dir_ / month / (name + ".1777600000"));
  // A dangling link still takes the name.
  fs::create_symlink("/nowhere", dir_ / "link");
  EXPECT_EQ(archiveTarget(dir_, "link", now), dir_ / month / "link");
}

TEST_F(ArchiveFolder, PlainMoveKeepsTheSourceWhenTheMoveFails) {
  fs::create_directories(dir_ / "src folder");
  std::ofstream(dir_ / "src folder" / "f") << "data";
  ASSERT_TRUE(plainMove(dir_ / "src folder", dir_ / "moved").has_value());
  EXPECT_EQ(readFile(dir_ / "moved" / "f").value(), "data");
  EXPECT_FALSE(fs::exists(dir_ / "src folder"));
  // Onto something that exists: neither side changes.
  std::ofstream(dir_ / "other") << "keep";
  EXPECT_FALSE(plainMove(dir_ / "moved" / "f", dir_ / "other").has_value());
  EXPECT_EQ(readFile(dir_ / "other").value(), "keep");
  EXPECT_EQ(readFile(dir_ / "moved" / "f").value(), "data");
  // Into a folder that does not exist: nothing moves.
  EXPECT_FALSE(plainMove(dir_ / "moved", dir_ / "no such" / "x").has_value());
  EXPECT_EQ(readFile(dir_ / "moved" / "f").value(), "data");
}

}  // namespace
}  // namespace brimvale::service
