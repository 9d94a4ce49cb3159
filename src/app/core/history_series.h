// Free space over time from the usage history: the rows read back tolerantly,
// then gathered into as many time buckets as a chart has room for.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/state/usage_history.h"

namespace brimvale::app {

// The rows at or after `since`.
[[nodiscard]] std::vector<HistoryRow> rowsSince(const std::vector<HistoryRow>& rows,
                                                std::time_t since);

// One series of a chart: the mean of each bucket's values, nothing where the
// bucket lies in a gap in the recording (or the drive was not usable).
struct HistorySeries {
  std::vector<std::optional<double>> values;
  double minGb = 0;
  double maxGb = 0;
  double latestGb = 0;  // the newest row's value
};

struct BucketedHistory {
  std::time_t from = 0;  // the first and last row's times
  std::time_t to = 0;
  std::time_t bucketSeconds = 0;
  std::size_t rowCount = 0;
  HistorySeries internal;
  std::optional<HistorySeries> drive;  // only when some row had the drive
};

// Rows are recorded about once an hour; a silence longer than this is a gap
// (the application was not running), not a missed tick.
inline constexpr std::time_t kLongestTickGap = 3 * 3600;

// Gathers non-empty `rows` (oldest first) into at most `columns` buckets of
// equal time, whole hours each, so hourly rows that fit get one bucket
// each. A bucket with no row takes its predecessor's value when the rows on
// either side are at most kLongestTickGap apart, and is a gap otherwise.
[[nodiscard]] BucketedHistory bucketHistory(const std::vector<HistoryRow>& rows,
                                            std::size_t columns);

}  // namespace brimvale::app
