#include "app/core/history_series.h"

#include <gtest/gtest.h>

#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

constexpr std::time_t kStart = 1'790'000'000;  // a fixed UTC instant
constexpr std::time_t kHour = 3600;

std::string rowText(std::time_t at, int internalGb, int driveGb = 0, int driveTotalGb = 0) {
  return "{\"ts\":\"" + isots(at) + "\",\"internal_free_gb\":" + std::to_string(internalGb) +
         ",\"internal_total_gb\":500,\"nvme_free_gb\":" + std::to_string(driveGb) +
         ",\"nvme_total_gb\":" + std::to_string(driveTotalGb) +
         ",\"cumulative_saved_bytes\":0,\"dirs_mb\":{}}";
}

std::vector<HistoryRow> hourly(const std::vector<double>& internalGb, std::time_t step = kHour) {
  std::vector<HistoryRow> rows;
  for (std::size_t i = 0; i < internalGb.size(); ++i) {
    rows.push_back(
        {.at = kStart + static_cast<std::time_t>(i) * step, .internalFreeGb = internalGb[i]});
  }
  return rows;
}

TEST(HistorySeries, ParseCountsEveryLineThatIsNotARowAndKeepsTheRest) {
  struct Case {
    const char* name;
    std::string line;
    std::size_t rows;
    std::size_t skipped;
  };
  const Case cases[] = {
      {"a written row", rowText(kStart, 40), 1, 0},
      {"a blank line", "   ", 0, 0},
      {"a torn row", rowText(kStart, 40).substr(0, 30), 0, 1},
      {"not an object", "[1,2,3]", 0, 1},
      {"no time", R"({"internal_free_gb":40})", 0, 1},
      {"a time in another form", R"({"ts":"2026-12-07 10:00:00","internal_free_gb":40})", 0, 1},
      {"free space as text", R"({"ts":"2026-12-07T10:00:00Z","internal_free_gb":"40"})", 0, 1},
      {"negative free space", R"({"ts":"2026-12-07T10:00:00Z","internal_free_gb":-3})", 0, 1},
      {"more than any disk holds", R"({"ts":"2026-12-07T10:00:00Z","internal_free_gb":1e300})", 0,
       1},
      {"only the fields charted", R"({"ts":"2026-12-07T10:00:00Z","internal_free_gb":40})", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HistoryRows parsed = parseHistory(rowText(kStart - kHour, 41) + "\n" + c.line + "\n");
    EXPECT_EQ(parsed.rows.size(), 1 + c.rows);
    EXPECT_EQ(parsed.skippedLines, c.skipped);
  }
}

TEST(HistorySeries, DriveFigureOnlyWhereTheDriveWasUsableAndRowsSortedByTime) {
  const HistoryRows parsed =
      parseHistory(rowText(kStart + 2 * kHour, 30, 400, 1000) + "\n" + rowText(kStart, 32, 0, 0) +
                   "\n" + rowText(kStart + kHour, 31, 0, 1000));
  ASSERT_EQ(parsed.rows.size(), 3u);
  EXPECT_EQ(parsed.rows[0].at, kStart);
  EXPECT_FALSE(parsed.rows[0].driveFreeGb) << "a drive that was not usable has no figure";
  ASSERT_TRUE(parsed.rows[1].driveFreeGb) << "a full drive is still a drive";
  EXPECT_EQ(*parsed.rows[1].driveFreeGb, 0);
  EXPECT_EQ(parsed.rows[2].driveFreeGb, 400);
}

TEST(HistorySeries, RowsSinceKeepsTheWindowInclusive) {
  const auto rows = hourly({1, 2, 3, 4});
  EXPECT_EQ(rowsSince(rows, kStart + 2 * kHour).size(), 2u);
  EXPECT_EQ(rowsSince(rows, kStart + 4 * kHour).size(), 0u);
}

TEST(HistorySeries, BucketsFitTheColumnsAndKeepGapsApart) {
  using V = std::optional<double>;
  std::vector<double> many(200);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<double>(i);
  std::vector<HistoryRow> gap = hourly({10, 10, 10});
  gap.push_back({.at = kStart + 10 * kHour, .internalFreeGb = 20});
  struct Case {
    const char* name;
    std::vector<HistoryRow> rows;
    std::size_t columns;
    std::size_t buckets;
    std::time_t bucketSeconds;
    std::vector<V> firstValues;  // the leading buckets checked
  };
  const Case cases[] = {
      {"one row", hourly({42}), 80, 1, kHour, {42}},
      {"flat series", hourly({7, 7, 7, 7}), 80, 4, kHour, {7, 7, 7, 7}},
      {"fewer rows than columns: one bucket a row", hourly({1, 2, 3}), 80, 3, kHour, {1, 2, 3}},
      {"more rows than columns: means of neighbours",
       hourly(many),
       50,
       50,
       4 * kHour,
       {1.5, 5.5, 9.5}},
      {"a silence of hours is a gap", gap, 80, 11, kHour, {10, 10, 10, V{}, V{}, V{}}},
      {"late ticks are no gap",
       hourly({5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}, 65 * 60),
       80,
       14,
       kHour,
       {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BucketedHistory h = bucketHistory(c.rows, c.columns);
    EXPECT_EQ(h.internal.values.size(), c.buckets);
    EXPECT_LE(h.internal.values.size(), c.columns);
    EXPECT_EQ(h.bucketSeconds, c.bucketSeconds);
    EXPECT_EQ(h.rowCount, c.rows.size());
    for (std::size_t i = 0; i < c.firstValues.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(h.internal.values.at(i), c.firstValues[i]);
    }
    EXPECT_EQ(h.internal.latestGb, c.rows.back().internalFreeGb);
    EXPECT_FALSE(h.drive);
  }
}

TEST(HistorySeries, TheDriveIsASecondSeriesWithItsOwnGapsAndFigures) {
  auto rows = hourly({30, 31, 32, 33, 34, 35});
  rows[0].driveFreeGb = 400;
  rows[1].driveFreeGb = 390;
  rows[5].driveFreeGb = 380;  // unplugged for four hours in between
  const BucketedHistory h = bucketHistory(rows, 80);
  ASSERT_TRUE(h.drive);
  const std::vector<std::optional<double>> expected{400, 390, {}, {}, {}, 380};
  EXPECT_EQ(h.drive->values, expected);
  EXPECT_EQ(h.drive->minGb, 380);
  EXPECT_EQ(h.drive->maxGb, 400);
  EXPECT_EQ(h.drive->latestGb, 380);
  EXPECT_EQ(h.internal.minGb, 30);
  EXPECT_EQ(h.internal.maxGb, 35);
}

}  // namespace
}  // namespace brimvale::app
