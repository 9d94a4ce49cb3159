#include "common/base/mount_anchor.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

TEST(MountAnchor, HoldsOnlyWhileTheSameMountIsAtThePath) {
  brimvale::testing::TempFolder dir;
  const fs::path at = dir / "Drive";
  EXPECT_FALSE(MountAnchor::take(dir.folder("Drive")).has_value()) << "a bare folder is no drive";

  auto drive = std::make_unique<brimvale::testing::TmpfsMount>(at, "1m");
  BRIMVALE_REQUIRE_DRIVE(*drive);
  fs::create_directories(at / "BRIM-Mac");
  auto anchor = MountAnchor::take(at);
  ASSERT_TRUE(anchor.has_value());
  EXPECT_TRUE(anchor->holds());
  EXPECT_TRUE(anchor->holds(at / "BRIM-Mac"));
  EXPECT_FALSE(anchor->holds(dir.path())) << "a folder on the internal disk";

  drive->unmount();
  fs::create_directories(at / "BRIM-Mac");  // what a writer would recreate on the internal disk
  EXPECT_FALSE(anchor->holds());
  EXPECT_FALSE(anchor->holds(at / "BRIM-Mac"));

  fs::remove_all(at / "BRIM-Mac");
  drive = std::make_unique<brimvale::testing::TmpfsMount>(at, "1m");
  EXPECT_FALSE(anchor->holds()) << "a remounted drive is checked again, not trusted";
}

}  // namespace
}  // namespace brimvale
