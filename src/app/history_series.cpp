#include "app/history_series.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

constexpr std::time_t kShortestBucket = 3600;
// An exabyte: anything larger was typed by hand, not measured.
constexpr double kLargestGb = 1e9;

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

// A figure of free space: a number of GB no disk could exceed, or nothing.
std::optional<double> gigabytesIn(const nlohmann::json& row, const char* key) {
  const auto value = row.find(key);
  if (value == row.end() || !value->is_number()) return std::nullopt;
  const double gb = value->get<double>();
  if (gb < 0 || gb > kLargestGb) return std::nullopt;
  return gb;
}

std::optional<HistoryRow> rowOf(std::string_view line) {
  const auto row = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!row.is_object()) return std::nullopt;
  const auto ts = row.find("ts");
  if (ts == row.end() || !ts->is_string()) return std::nullopt;
  const auto at = parseIsots(ts->get<std::string>());
  const auto internalFree = gigabytesIn(row, "internal_free_gb");
  if (!at || !internalFree) return std::nullopt;
  HistoryRow result{.at = *at, .internalFreeGb = *internalFree};
  if (gigabytesIn(row, "nvme_total_gb").value_or(0) > 0) {
    result.driveFreeGb = gigabytesIn(row, "nvme_free_gb");
  }
  return result;
}

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

HistoryRows parseHistory(std::string_view ndjson) {
  HistoryRows result;
  for (std::string_view line : splitLines(ndjson)) {
    if (trimBlanks(line).empty()) continue;
    if (auto row = rowOf(line)) {
      result.rows.push_back(*row);
    } else {
      ++result.skippedLines;
    }
  }
  std::stable_sort(result.rows.begin(), result.rows.end(),
                   [](const HistoryRow& a, const HistoryRow& b) { return a.at < b.at; });
  return result;
}

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
