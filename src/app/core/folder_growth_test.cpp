#include "app/core/folder_growth.h"

#include <gtest/gtest.h>

#include "common/base/timestamps.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

constexpr std::time_t kScanNow = 1'790'000'000;  // a fixed UTC instant
constexpr std::time_t kScanDay = 86400;

// A scan's lines as the service prints them: path -> bytes.
std::string scanLines(std::time_t at, const std::vector<std::pair<std::string, int>>& folders) {
  std::string text = R"({"timestamp":")" + isots(at) + R"(","phase":"started"})" + "\n";
  for (const auto& [path, bytes] : folders) {
    text += R"({"path":")" + path + R"(","label":")" + path + R"( folder","size_bytes":)" +
            std::to_string(bytes) + R"(,"actionable":true})" + "\n";
  }
  return text + R"({"timestamp":")" + isots(at) + R"(","phase":"done","probed":0})" + "\n";
}

ScanSizes scanOf(std::time_t at, const std::vector<std::pair<std::string, int>>& folders) {
  return parseScanSizes(scanLines(at, folders)).value();
}

// "path growth" for each folder of a list, in its order.
std::vector<std::string> grownList(const std::vector<FolderGrowth>& folders) {
  std::vector<std::string> words;
  for (const auto& f : folders) words.push_back(f.path + " " + std::to_string(f.growth()));
  return words;
}

TEST(FolderGrowth, GrowthAndShrinkingAreListedLargestFirst) {
  const struct {
    const char* what;
    std::vector<std::pair<std::string, int>> then, now;
    std::vector<std::string> grew, shrank;
  } cases[] = {
      {"unchanged folders are in neither list", {{"/a", 5}}, {{"/a", 5}}, {}, {}},
      {"largest growth first, whatever the sizes",
       {{"/big", 1000}, {"/small", 1}, {"/mid", 50}},
       {{"/big", 1010}, {"/small", 501}, {"/mid", 150}},
       {"/small 500", "/mid 100", "/big 10"},
       {}},
      {"a folder new since then grew from nothing", {}, {{"/new", 7}}, {"/new 7"}, {}},
      {"a folder gone since then shrank to nothing", {{"/gone", 9}}, {}, {}, {"/gone -9"}},
      {"largest shrinking first",
       {{"/a", 10}, {"/b", 100}, {"/c", 3}},
       {{"/a", 5}, {"/b", 20}, {"/c", 4}},
       {"/c 1"},
       {"/b -80", "/a -5"}},
      {"equal growth keeps the paths' order", {}, {{"/b", 2}, {"/a", 2}}, {"/a 2", "/b 2"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const GrowthReport report =
        compareScans(scanOf(kScanNow - 7 * kScanDay, c.then), scanOf(kScanNow, c.now));
    EXPECT_EQ(grownList(report.grew), c.grew);
    EXPECT_EQ(grownList(report.shrank), c.shrank);
    EXPECT_EQ(report.then, kScanNow - 7 * kScanDay);
    EXPECT_EQ(report.now, kScanNow);
  }
}

TEST(FolderGrowth, TextShowsSizesThenAndNowAndOneLineForWhatShrank) {
  const GrowthReport report = compareScans(
      scanOf(kScanNow - kScanDay,
             {{"/d", 1'000'000}, {"/e", 3'000'000}, {"/f", 100}, {"/g", 2'000'000}}),
      scanOf(kScanNow, {{"/d", 4'000'000}, {"/e", 1'000'000}, {"/f", 200}, {"/g", 1'500'000}}));
  const std::string text = renderGrowth(report, 1);
  EXPECT_NE(text.find("+3 MB  1 MB  4 MB  /d folder  /d\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("/f folder"), std::string::npos) << "only the largest growth is shown";
  EXPECT_NE(text.find("and 1 folder more that grew less."), std::string::npos) << text;
  EXPECT_NE(text.find("Shrank: 2 folders, 2.5 MB in all (most: /e folder, -2 MB).\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(renderGrowth(compareScans(scanOf(0, {}), scanOf(kScanNow, {})), 10)
                  .starts_with("Nothing grew since"));
}

TEST(FolderGrowth, ScanLinesThatCannotBeComparedAreRefused) {
  const std::string started = R"({"timestamp":"2026-12-01T10:00:00Z","phase":"started"})"
                              "\n";
  const struct {
    const char* what;
    std::string lines;
  } cases[] = {
      {"no started line", R"({"path":"/a","label":"A","size_bytes":1})"},
      {"a started line without its time", R"({"phase":"started"})"},
      {"a torn line", started + R"({"path":"/a","lab)"},
      {"a folder without a size", started + R"({"path":"/a","label":"A"})"},
      {"a list instead of lines", "[1,2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto parsed = parseScanSizes(c.lines);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().code, Errc::kParse);
  }
}

TEST(FolderGrowth, SavedScansAreTrimmedByDateAndTheNewestOldEnoughIsFound) {
  const brimvale::testing::TempFolder folder;
  const fs::path scans = folder / "scans";
  for (const int daysAgo : {400, 30, 8, 6, 0}) {
    const std::time_t at = kScanNow - daysAgo * kScanDay;
    ASSERT_TRUE(saveScan(scans, scanLines(at, {{"/a", daysAgo}}), at, 365, kScanNow).has_value());
  }
  folder.file("scans/notes.txt");  // not a saved scan: left alone, never chosen
  EXPECT_FALSE(fs::exists(savedScanPath(scans, kScanNow - 400 * kScanDay)))
      << "older than 365 days";
  EXPECT_TRUE(fs::exists(savedScanPath(scans, kScanNow - 30 * kScanDay)));
  EXPECT_TRUE(fs::exists(scans / "notes.txt"));
  const struct {
    int daysBack;
    std::optional<int> found;
  } cases[] = {{7, 8}, {6, 6}, {0, 0}, {31, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.daysBack);
    const auto found = savedScanAtOrBefore(scans, kScanNow - c.daysBack * kScanDay);
    ASSERT_EQ(found.has_value(), c.found.has_value());
    if (found) {
      EXPECT_EQ(*found, savedScanPath(scans, kScanNow - *c.found * kScanDay));
    }
  }
}

}  // namespace
}  // namespace brimvale::app
