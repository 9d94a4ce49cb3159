#include "app/core/history_series.h"

#include <algorithm>
#include <utility>

#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

constexpr std::time_t kShortestBucket = 3600;

struct Point {
  std::time_t at;
  double gb;
};

struct Bucket {
  std::time_t firstAt = 0;
  std::time_t lastAt = 0;
  double sum = 0;
  std::size_t count = 0;
};

HistorySeries bucketSeries(const std::vector<Point>& points, std::time_t from,
                           std::time_t bucketSeconds, std::size_t count) {
  std::vector<Bucket> buckets(count);
  HistorySeries series;
  series.minGb = series.maxGb = points.front().gb;
  for (const Point& p : points) {
    Bucket& b = buckets[static_cast<std::size_t>((p.at - from) / bucketSeconds)];
    if (b.count == 0) b.firstAt = p.at;
    b.lastAt = p.at;
    b.sum += p.gb;
    ++b.count;
    series.minGb = std::min(series.minGb, p.gb);
    series.maxGb = std::max(series.maxGb, p.gb);
  }
  series.latestGb = points.back().gb;
  series.values.resize(count);
  std::optional<std::size_t> previous;  // the last bucket that holds a row
  for (std::size_t i = 0; i < count; ++i) {
    if (buckets[i].count > 0) {
      series.values[i] = buckets[i].sum / static_cast<double>(buckets[i].count);
      previous = i;
      continue;
    }
    if (!previous) continue;
    const auto next = std::find_if(buckets.begin() + static_cast<std::ptrdiff_t>(i), buckets.end(),
                                   [](const Bucket& b) { return b.count > 0; });
    if (next != buckets.end() && next->firstAt - buckets[*previous].lastAt <= kLongestTickGap) {
      series.values[i] = series.values[*previous];
    }
  }
  return series;
}

}  // namespace

std::vector<HistoryRow> rowsSince(const std::vector<HistoryRow>& rows, std::time_t since) {
  std::vector<HistoryRow> kept;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(kept),
               [since](const HistoryRow& r) { return r.at >= since; });
  return kept;
}

BucketedHistory bucketHistory(const std::vector<HistoryRow>& rows, std::size_t columns) {
  BucketedHistory history{.from = rows.front().at, .to = rows.back().at, .rowCount = rows.size()};
  const std::time_t span = history.to - history.from;
  const auto width = static_cast<std::time_t>(std::max<std::size_t>(columns, 1));
  // Whole hours, so "each mark covers 4 hours" is exact.
  const std::time_t perColumn = (span + width) / width;
  history.bucketSeconds = (perColumn + kShortestBucket - 1) / kShortestBucket * kShortestBucket;
  const auto count = static_cast<std::size_t>(span / history.bucketSeconds) + 1;

  std::vector<Point> internal;
  std::vector<Point> drive;
  for (const HistoryRow& r : rows) {
    internal.push_back({r.at, r.internalFreeGb});
    if (r.driveFreeGb) drive.push_back({r.at, *r.driveFreeGb});
  }
  history.internal = bucketSeries(internal, history.from, history.bucketSeconds, count);
  if (!drive.empty()) {
    history.drive = bucketSeries(drive, history.from, history.bucketSeconds, count);
  }
  return history;
}

}  // namespace brimvale::app
