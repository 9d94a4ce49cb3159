#include "service/relocation/checked_folder.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/base/test_file.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class CheckedFolderTest : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder home_{"bv-checked-home"};
  brimvale::testing::TempFolder outside_{"bv-checked-outside"};
  PathPolicy policy_{PathPolicy::rootsFor(home_.path())};
};

TEST_F(CheckedFolderTest, AFolderThatIsALinkOrRefusedIsNeverOpened) {
  outside_.file("precious.txt", "keep");
  home_.folder("Documents");
  const struct {
    fs::path folder;
    std::string says;
  } cases[] = {
      {home_.link(".pnpm-store", home_ / "Documents"),
       "symbolic link that leads to " + (home_ / "Documents").string()},
      {home_.link(".Trash", outside_.path()),
       "symbolic link that leads to " + outside_.path().string()},
      {home_.folder(".ssh"), "SSH keys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    auto opened = CheckedFolder::open(policy_, c.folder);
    ASSERT_FALSE(opened.has_value());
    EXPECT_NE(opened.error().find(c.says), std::string::npos) << opened.error();
  }
  EXPECT_TRUE(CheckedFolder::open(policy_, home_.folder("Library/Caches/pip")).has_value());
}

TEST_F(CheckedFolderTest, RemovalTakesLinksAsLinksAndStaysInsideTheFolder) {
  const fs::path keep = outside_.file("keep/data.txt", "precious");
  const fs::path cache = home_.folder(".npm/_cacache");
  home_.file(".npm/_cacache/tree/deep/blob", "cached");
  home_.link(".npm/_cacache/tree/escape", outside_ / "keep");
  home_.link(".npm/_cacache/to-file", keep);
  auto folder = CheckedFolder::open(policy_, cache);
  ASSERT_TRUE(folder.has_value()) << folder.error();

  ASSERT_TRUE(folder->remove("tree").has_value());
  ASSERT_TRUE(folder->remove("to-file").has_value());
  EXPECT_TRUE(fs::is_empty(cache));
  EXPECT_EQ(readFile(keep).value(), "precious");
  // An absolute name must not escape the folder; a temporary file stands in
  // for a system file, which a test must never be pointed at.
  const fs::path absolute = outside_.file("absolute-target.txt", "untouched");
  for (const std::string& bad :
       {std::string(), std::string("../x"), absolute.string(), std::string("a/../b")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(folder->remove(bad).has_value());
  }
  EXPECT_EQ(readFile(absolute).value(), "untouched");
}

TEST_F(CheckedFolderTest, AFolderSwappedForALinkAfterOpeningCannotRedirectTheRemoval) {
  // Given the category folder is replaced by a link to the user's files
  // after it was checked, then the removal works on the folder it opened.
  const fs::path cache = home_.folder("Library/Caches/Yarn");
  home_.file("Library/Caches/Yarn/v6", "cache");
  const fs::path documents = home_.file("Documents/v6", "thesis");
  auto folder = CheckedFolder::open(policy_, cache);
  ASSERT_TRUE(folder.has_value());
  fs::rename(cache, home_ / "Library/Caches/Yarn.old");
  fs::create_directory_symlink(home_ / "Documents", cache);

  ASSERT_TRUE(folder->remove("v6").has_value());
  EXPECT_EQ(readFile(documents).value(), "thesis");
  EXPECT_FALSE(fs::exists(home_ / "Library/Caches/Yarn.old/v6"));
}

TEST_F(CheckedFolderTest, ASubfolderSwappedForALinkStopsTheRemoval) {
  const fs::path downloads = home_.folder("Downloads");
  home_.file("Downloads/sub/file", "x");
  const fs::path keep = outside_.file("file", "precious");
  auto folder = CheckedFolder::open(policy_, downloads);
  ASSERT_TRUE(folder.has_value());
  fs::remove_all(downloads / "sub");
  fs::create_directory_symlink(outside_.path(), downloads / "sub");
  EXPECT_FALSE(folder->remove("sub/file").has_value());
  EXPECT_EQ(readFile(keep).value(), "precious");
}

// Given a file rewritten in place and, inside a listed folder, a file whose
// mode changed after the listing, then removal as listed leaves both.
TEST_F(CheckedFolderTest, RemovalAsListedLeavesWhatChangedSinceTheListing) {
  const fs::path cache = home_.folder(".cache/tool");
  home_.file(".cache/tool/blob", "old");
  home_.file(".cache/tool/dir/inner", "old");
  brimvale::testing::settle(cache);
  auto folder = CheckedFolder::open(policy_, cache);
  ASSERT_TRUE(folder.has_value());
  struct stat blob {
  }, dir{};
  ASSERT_EQ(lstat((cache / "blob").c_str(), &blob) + lstat((cache / "dir").c_str(), &dir), 0);
  const auto listedAt = std::chrono::system_clock::now();
  std::ofstream(cache / "blob", std::ios::app) << "er";
  fs::permissions(cache / "dir/inner", fs::perms::owner_read);
  EXPECT_FALSE(folder->removeAsListed("blob", blob, listedAt).gone);
  EXPECT_FALSE(folder->removeAsListed("dir", dir, listedAt).gone);
  EXPECT_EQ(readFile(cache / "blob").value_or(""), "older");
  EXPECT_TRUE(fs::exists(cache / "dir/inner"));
}

TEST_F(CheckedFolderTest, RenameMovesTheEntryAndReportsOtherVolumes) {
  const fs::path downloads = home_.folder("Downloads");
  home_.file("Downloads/a.iso", "iso");
  home_.file("Archive/a.iso", "");  // the claimed placeholder
  auto folder = CheckedFolder::open(policy_, downloads);
  ASSERT_TRUE(folder.has_value());
  EXPECT_FALSE(folder->renameTo("a.iso", home_ / "Archive/a.iso"));
  EXPECT_EQ(readFile(home_ / "Archive/a.iso").value(), "iso");
  EXPECT_EQ(folder->renameTo("missing", home_ / "Archive/b"), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace brimvale::service
