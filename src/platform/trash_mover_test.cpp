#include "platform/trash_mover.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
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

TEST(MoveToTrash, OtherVolumeUsesThatVolumesTrash) {
  brimvale::testing::TempFolder tmp("trash-mover");
  brimvale::testing::TmpfsMount drive(tmp / "drive", "4m");
  if (!drive.mounted()) {
    if (brimvale::testing::mountsRequired()) FAIL() << drive.whyNot();
    GTEST_SKIP() << drive.whyNot();
  }
  const TrashPlaces places{tmp / "home/.local/share/Trash", 1000};
  const auto item = tmp.file("drive/BRIM-x/Offloaded/Notes-1/a.txt");
  auto moved = moveToTrash(item.parent_path(), places, kNow, FileOperations::real());
  ASSERT_TRUE(moved) << moved.error().message();
  EXPECT_TRUE(moved->string().starts_with((tmp / "drive/.Trash").string())) << *moved;
  EXPECT_TRUE(fs::exists(*moved / "a.txt"));
  EXPECT_FALSE(fs::exists(places.homeTrash));
}

}  // namespace
}  // namespace brimvale::platform
