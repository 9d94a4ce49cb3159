#include "care/movable_apps.h"
#include "testing/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace brimvale::care {
namespace {

void writeBytes(const std::filesystem::path& file, std::size_t size) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << std::string(size, 'x');
}

// Given bundles above and below the size floor, a link to an app already on
// the drive and a large folder that is not a bundle, only the large real
// bundle counts.
TEST(MovableApps, CountsLargeRealBundlesOnly) {
  const brimvale::testing::TempFolder tmp("bv-apps");
  const std::filesystem::path root = tmp.path();
  writeBytes(root / "Applications/Big Editor.app/Contents/MacOS/editor", 300'000);
  writeBytes(root / "Applications/Tiny.app/Contents/MacOS/tiny", 1'000);
  writeBytes(root / "Applications/Media Library/big.mov", 300'000);
  writeBytes(root / "Drive/Moved.app/Contents/MacOS/moved", 300'000);
  std::filesystem::create_directory_symlink(root / "Drive/Moved.app",
                                            root / "Applications/Moved.app");

  const MovableApps apps =
      scanMovableApps({root / "Applications", root / "Missing Folder"}, 200'000);
  EXPECT_EQ(apps.count, 1);
  EXPECT_GE(apps.totalBytes, 300'000u);
  EXPECT_LT(apps.totalBytes, 400'000u);
}

}  // namespace
}  // namespace brimvale::care
