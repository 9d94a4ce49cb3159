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
      {"a torn row", rowText(kStart, 40).substr(0, 30), 0, 1},
      {"more than any disk holds", R"({"ts":"2026-12-07T10:00:00Z","internal_free_gb":1e300})", 0,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HistoryRows parsed = parseHistory(rowText(kStart - kHour, 41) + "\n" + c.line + "\n");
    EXPECT_EQ(parsed.rows.size(), 1 + c.rows);
    EXPECT_EQ(parsed.skippedLines, c.skipped);
  }
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

}  // namespace
}  // namespace brimvale::app
