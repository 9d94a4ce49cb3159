// Free space over time from the usage history: the rows read back tolerantly,
// then gathered into as many time buckets as a chart has room for.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::app {

// One readable row: internal free GB, and the drive's when it was usable then.
struct HistoryRow {
  std::time_t at = 0;
  double internalFreeGb = 0;
  std::optional<double> driveFreeGb;
};

// The rows of a history file, oldest first, and how many non-blank lines were
// not rows (torn, hand-edited, missing "ts" or "internal_free_gb").
struct HistoryRows {
  std::vector<HistoryRow> rows;
  std::size_t skippedLines = 0;
};

// Never fails: every line that is not a row is counted and passed over. Rows
// out of order (a hand-edited file) are sorted by time; the drive figure is
// absent where the row's "nvme_total_gb" is 0, as the writer marks a drive
// that was not usable.
[[nodiscard]] HistoryRows parseHistory(std::string_view ndjson);

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
