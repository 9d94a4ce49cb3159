#include "apps/bundle_metrics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

TEST(BundleMetrics, CountsRegularFilesOnlyAndTheirBytes) {
  testing::TempFolder tmp;
  tmp.file("X.app/Contents/Info.plist", std::string(100, 'a'));
  tmp.file("X.app/Contents/MacOS/X", std::string(5000, 'b'));
  tmp.file("X.app/Contents/Resources/empty", "");
  tmp.folder("X.app/Contents/Resources/Empty.lproj");
  tmp.file("outside", std::string(1'000'000, 'c'));
  // Links are counted as neither files nor bytes, even when they lead to a big file.
  tmp.link("X.app/Contents/Frameworks/Current", "../MacOS");
  tmp.link("X.app/Contents/big", tmp / "outside");
  const auto metrics = bundleMetrics(tmp / "X.app");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(*metrics, (BundleMetrics{3, 5100}));
}

TEST(BundleMetrics, AMissingBundleHasNoMetrics) {
  testing::TempFolder tmp;
  EXPECT_FALSE(bundleMetrics(tmp / "missing.app"));
  EXPECT_EQ(bundleMetrics(tmp.folder("Empty.app")), (BundleMetrics{0, 0}));
}

}  // namespace
}  // namespace brimvale::apps
