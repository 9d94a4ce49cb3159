#include "service/relocation/archive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

TEST(Archive, SkipsLockAndMetadataNames) {
  const char* skipped[] = {"~$budget.xlsx",      "~$a.docx",  "~$deck.pptx",
                           ".~lock.report.odt#", ".DS_Store", "Icon\r",
                           "._photo.jpg",        "notes.swp", "notes.swo"};
  const char* kept[] = {
      "budget.xlsx",       "~budget.xlsx",    "Icon", "Icons", "DS_Store", "notes.swp.txt",
      ".~lock.report.odt", "line\nbreak.swpx"};
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
  auto folder = claimArchiveTarget(dir_, "Project", now, ClaimKind::kFolder);
  ASSERT_TRUE(folder.has_value());
  EXPECT_TRUE(fs::is_directory(*folder));
  // A dangling link still takes the name; nothing existing is ever chosen.
  fs::create_symlink("/nowhere", dir_ / "link");
  EXPECT_EQ(claimArchiveTarget(dir_, "link", now, ClaimKind::kFile).value(), dir_ / month / "link");
  EXPECT_EQ(fs::read_symlink(dir_ / "link"), "/nowhere");
  auto tooLong = claimArchiveTarget(dir_, std::string(300, 'n'), now, ClaimKind::kFile);
  EXPECT_FALSE(tooLong.has_value());
}

TEST_F(ArchiveFolder, RacingClaimsNeverShareATarget) {
  // Given many claimers of one name at once (two rule runs that slipped
  // past the lock), then every claim is a different, existing target.
  const std::time_t now = 1'777'600'000;
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::vector<fs::path>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto claimed = claimArchiveTarget(dir_, "movie.mkv", now,
                                          t % 2 ? ClaimKind::kFile : ClaimKind::kFolder);
        if (claimed) got[t].push_back(*claimed);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<fs::path> distinct;
  for (const auto& list : got) {
    EXPECT_EQ(list.size(), static_cast<std::size_t>(kEach));
    for (const auto& path : list) {
      EXPECT_TRUE(fs::exists(path));
      distinct.insert(path);
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(ArchiveFolder, AMoveReplacesOnlyItsOwnClaim) {
  testing::TempFolder home("bv-archive-home");
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
  ASSERT_TRUE(moveIntoClaim(*from, "film.mkv", file).has_value());
  EXPECT_EQ(readFile(file).value(), "film");
  EXPECT_EQ(readFile(archive / "film.mkv").value(), "the first run's only copy");

  auto folder = claimArchiveTarget(archive, "album", now, ClaimKind::kFolder).value();
  ASSERT_TRUE(moveIntoClaim(*from, "album", folder).has_value());
  EXPECT_EQ(readFile(folder / "track").value(), "track");
  EXPECT_TRUE(fs::is_empty(downloads));

  // A source that vanished: the claim is dropped, nothing else touched.
  auto orphan = claimArchiveTarget(archive, "gone", now, ClaimKind::kFile).value();
  auto failed = moveIntoClaim(*from, "gone", orphan);
  ASSERT_FALSE(failed.has_value());
  EXPECT_FALSE(failed.error().copyKept);
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_EQ(readFile(archive / "film.mkv").value(), "the first run's only copy");
}

}  // namespace
}  // namespace brimvale::service
