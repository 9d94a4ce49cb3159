#include "service/relocation/archive.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/base/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

TEST(Archive, SkipsLockAndMetadataNames) {
  for (const char* name :
       {"~$budget.xlsx", ".~lock.report.odt#", ".DS_Store", "Icon\r", "._photo.jpg", "notes.swp"}) {
    EXPECT_TRUE(isLockOrMetadataName(name)) << name;
  }
  for (const char* name : {"~budget.xlsx", "Icon", ".~lock.report.odt", "notes.swp.txt"}) {
    EXPECT_FALSE(isLockOrMetadataName(name)) << name;
  }
}

class ArchiveFolder : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder tmp_{"brimvale-archive"};
  const fs::path dir_ = tmp_.path();
};

TEST_F(ArchiveFolder, ClaimsTakeTheFirstFreeNameAndCreateIt) {
  const std::time_t now = 1'777'600'000;
  const std::string month = formatLocal(now, "%Y-%m");
  const std::string name = "it's \"report\"\n.pdf";
  const fs::path expected[] = {
      dir_ / name, dir_ / month / name, dir_ / month / (name + ".1777600000"),
      dir_ / month / (name + ".1777600000.2"), dir_ / month / (name + ".1777600000.3")};
  for (const auto& want : expected) {
    SCOPED_TRACE(want);
    auto claimed = claimArchiveTarget(dir_, name, now, ClaimKind::kFile);
    ASSERT_TRUE(claimed.has_value()) << claimed.error().message();
    EXPECT_EQ(*claimed, want);
    EXPECT_TRUE(fs::is_regular_file(*claimed)) << "the claim holds the name";
    if (want == expected[0]) {
      EXPECT_FALSE(fs::exists(dir_ / month)) << "the month folder is made only when needed";
    }
  }
  // A dangling link still takes the name; nothing existing is ever chosen.
  fs::create_symlink("/nowhere", dir_ / "link");
  EXPECT_EQ(claimArchiveTarget(dir_, "link", now, ClaimKind::kFile).value(), dir_ / month / "link");
  EXPECT_EQ(fs::read_symlink(dir_ / "link"), "/nowhere");
}

TEST_F(ArchiveFolder, AMoveReplacesOnlyItsOwnClaim) {
  brimvale::testing::TempFolder home("bv-archive-home");
  const fs::path downloads = home.folder("Downloads");
  home.file("Downloads/film.mkv", "film");
  home.file("Downloads/album/track", "track");
  const PathPolicy policy(PathPolicy::rootsFor(home.path()));
  auto from = CheckedFolder::open(policy, downloads);
  ASSERT_TRUE(from.has_value());
  const std::time_t now = 1'777'600'000;

  const fs::path archive = home.folder("Archive");
  home.file("Archive/film.mkv", "the first run's only copy");
  auto file = claimArchiveTarget(archive, "film.mkv", now, ClaimKind::kFile).value();
  ASSERT_TRUE(moveIntoClaim(runProcess, *from, "film.mkv", file).has_value());
  EXPECT_EQ(readFile(file).value(), "film");
  EXPECT_EQ(readFile(archive / "film.mkv").value(), "the first run's only copy");

  auto folder = claimArchiveTarget(archive, "album", now, ClaimKind::kFolder).value();
  ASSERT_TRUE(moveIntoClaim(runProcess, *from, "album", folder).has_value());
  EXPECT_EQ(readFile(folder / "track").value(), "track");
  EXPECT_TRUE(fs::is_empty(downloads));

  // A source that vanished: the claim is dropped, nothing else touched.
  auto orphan = claimArchiveTarget(archive, "gone", now, ClaimKind::kFile).value();
  auto failed = moveIntoClaim(runProcess, *from, "gone", orphan);
  ASSERT_FALSE(failed.has_value());
  EXPECT_FALSE(failed.error().copyKept);
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_EQ(readFile(archive / "film.mkv").value(), "the first run's only copy");
}

}  // namespace
}  // namespace brimvale::service
