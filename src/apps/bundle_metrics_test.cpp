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

TEST(BundleMetrics, SizeToleranceAtItsEdges) {
  struct Row {
    std::int64_t src, dst;
    bool within;
  };
  const std::vector<Row> rows{
      {0, 0, true},
      {4'095'999, 4'095'999 - 4096, true},
      {4'095'999, 4'095'999 + 4096, true},
      {4'095'999, 4'095'999 - 4097, false},
      {4'095'999, 4'095'999 + 4097, false},
      // From 4,096,000 bytes a thousandth is allowed (4096 here, by integer division).
      {4'096'000, 4'096'000 + 4096, true},
      {4'096'000, 4'096'000 + 4097, false},
      {10'000'000, 10'010'000, true},
      {10'000'000, 9'990'000, true},
      {10'000'000, 10'010'001, false},
      {10'000'000, 9'989'999, false},
      {10'000'999, 10'000'999 + 10'000, true},
      {10'000'999, 10'000'999 + 10'001, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.src) + " vs " + std::to_string(row.dst));
    EXPECT_EQ(sizeWithinTolerance(row.src, row.dst), row.within);
  }
}

}  // namespace
}  // namespace brimvale::apps
