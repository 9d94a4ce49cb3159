#include "platform/trash_mover.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::time_t kNow = 1'800'000'000;

TEST(MoveToTrash, SameVolumeGoesToTheHomeTrashWithARecord) {
  brimvale::testing::TempFolder tmp("trash-mover");
  const TrashPlaces places{tmp / "home/.local/share/Trash", 1000};
  brimvale::testing::FailingFileOperations files;
  struct Case {
    std::string name;
    std::string expectedLeaf;
  };
  // The same name twice: the second must not replace the first.
  const std::vector<Case> cases = {{"My Stuff %1", "My Stuff %1"},
                                   {"My Stuff %1", "My Stuff %1 2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expectedLeaf);
    const auto item = tmp.file("Offloaded/" + c.name + "/a.txt", c.expectedLeaf);
    auto moved = moveToTrash(item.parent_path(), places, kNow, files);
    ASSERT_TRUE(moved) << moved.error().message();
    EXPECT_FALSE(fs::exists(item.parent_path()));
    EXPECT_EQ(*moved, places.homeTrash / "files" / c.expectedLeaf);
    EXPECT_EQ(*readFile(*moved / "a.txt"), c.expectedLeaf);
    const auto info = readFile(places.homeTrash / "info" / (c.expectedLeaf + ".trashinfo"));
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("[Trash Info]\nPath=" + (tmp / "Offloaded/My%20Stuff%20%251").string()),
              std::string::npos)
        << *info;
    EXPECT_NE(info->find("\nDeletionDate="), std::string::npos);
  }
  // A failed move leaves the item where it was, and no record.
  files.failFirst(brimvale::testing::FileOp::kRenameNoReplace, "Archive", EACCES);
  const auto kept = tmp.file("Archive/a.txt");
  EXPECT_FALSE(moveToTrash(kept.parent_path(), places, kNow, files));
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_EQ(
      std::distance(fs::directory_iterator(places.homeTrash / "info"), fs::directory_iterator{}),
      2);
}

ino_t inodeOf(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(MoveToTrash, OddItemsGoWholeByRenameOrNotAtAll) {
  brimvale::testing::TempFolder tmp("trash-mover");
  const TrashPlaces places{tmp / "home/.local/share/Trash", 1000};
  tmp.file("target.txt");
  tmp.link("odd/a link", tmp / "target.txt");
  tmp.file("odd/two\nlines");
  tmp.file("odd/cross");
  struct Case {
    std::string name;
    int failWith;            // errno of a failing rename; 0 when it works
    std::string recordPath;  // the Path= value, after the item's folder; empty: refused
  };
  const std::vector<Case> cases = {
      {"a link", 0, "a%20link"},
      {"two\nlines", 0, "two%0Alines"},
      {"missing", 0, ""},
      {"cross", EXDEV, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::FailingFileOperations files;
    if (c.failWith)
      files.failFirst(brimvale::testing::FileOp::kRenameNoReplace, c.name, c.failWith);
    const fs::path item = tmp / "odd" / c.name;
    const ino_t inode = inodeOf(item);
    auto moved = moveToTrash(item, places, kNow, files);
    const fs::path info = places.homeTrash / "info" / (c.name + ".trashinfo");
    if (c.recordPath.empty()) {
      EXPECT_FALSE(moved);
      EXPECT_EQ(inodeOf(item), inode);
      EXPECT_FALSE(fs::exists(info));
      continue;
    }
    ASSERT_TRUE(moved) << moved.error().message();
    EXPECT_FALSE(fs::exists(fs::symlink_status(item)));
    EXPECT_EQ(inodeOf(*moved), inode);  // the same file, never a copy
    EXPECT_EQ(fs::is_symlink(*moved), c.name == "a link");
    EXPECT_EQ(*readFile(info), "[Trash Info]\nPath=" + (tmp / "odd").string() + "/" + c.recordPath +
                                   "\nDeletionDate=" + formatLocal(kNow, "%Y-%m-%dT%H:%M:%S") +
                                   "\n");
  }
  EXPECT_EQ(fs::status(places.homeTrash).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(TrashPlaces, DataHomeMovesTheHomeTrashWhenAbsolute) {
  EXPECT_EQ(trashPlacesFor("/h", "").homeTrash, "/h/.local/share/Trash");
  EXPECT_EQ(trashPlacesFor("/h", "relative/data").homeTrash, "/h/.local/share/Trash");
  EXPECT_EQ(trashPlacesFor("/h", "/x/data").homeTrash, "/x/data/Trash");
}

TEST(MoveToTrash, OtherVolumeUsesThatVolumesTrash) {
  brimvale::testing::TempFolder tmp("trash-mover");
  brimvale::testing::TmpfsMount drive(tmp / "drive", "4m");
  if (!drive.mounted()) {
    if (brimvale::testing::mountsRequired()) FAIL() << drive.whyNot();
    GTEST_SKIP() << drive.whyNot();
  }
  const TrashPlaces places{tmp / "home/.local/share/Trash", 1000};
  // How the volume's shared .Trash is laid out, and the Trash used: the
  // shared one counts only when sticky and not a link.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"link", ".Trash-1000"}, {"plain", ".Trash-1000"}, {"sticky", ".Trash/1000"}};
  for (const auto& [shared, used] : cases) {
    SCOPED_TRACE(shared);
    std::error_code ec;
    for (const char* old : {".Trash", ".Trash-1000"}) fs::remove_all(tmp / "drive" / old, ec);
    if (shared == "link") tmp.link("drive/.Trash", tmp.folder("elsewhere"));
    if (shared != "link") tmp.folder("drive/.Trash");
    if (shared == "sticky") ::chmod((tmp / "drive/.Trash").c_str(), 01777);
    const auto item = tmp.file("drive/BRIM-x/Notes 1/a.txt");
    const ino_t inode = inodeOf(item.parent_path());
    auto moved = moveToTrash(item.parent_path(), places, kNow, FileOperations::real());
    ASSERT_TRUE(moved) << moved.error().message();
    const fs::path trash = tmp / "drive" / used;
    EXPECT_EQ(*moved, trash / "files/Notes 1");
    EXPECT_EQ(inodeOf(*moved), inode);
    EXPECT_EQ(fs::status(trash).permissions() & fs::perms::all, fs::perms::owner_all);
    const auto info = readFile(trash / "info/Notes 1.trashinfo");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("\nPath=BRIM-x/Notes%201\n"), std::string::npos) << *info;
  }
  EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
  EXPECT_FALSE(fs::exists(places.homeTrash));
}

}  // namespace
}  // namespace brimvale::platform
