// The usage history state/history.ndjson: one row of space figures per
// snapshot, written by the service's `snapshot` and hourly by the application.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"

namespace brimvale {

inline constexpr std::string_view kUsageHistoryFile = "history.ndjson";
inline constexpr std::string_view kCumulativeSavedFile = "cumulative-saved-bytes";

// The measured space of one row; the drive figures are 0 unless it is usable.
struct UsageSpace {
  std::uint64_t internalFreeBytes = 0;
  std::uint64_t internalTotalBytes = 0;
  std::uint64_t driveFreeBytes = 0;
  std::uint64_t driveTotalBytes = 0;
};

// The row for `now`: space in decimal GB, the saved-bytes counter of
// `stateDir` (0 when missing or unreadable), and the MiB of each well-known
// folder of `home` that exists, written with the home folder as "~".
[[nodiscard]] std::string usageHistoryRow(std::time_t now, const UsageSpace& space,
                                          const std::filesystem::path& home,
                                          const std::filesystem::path& stateDir);

// Appends `row` and drops the rows dated more than `maxDays` days before `now`
// (the file rewritten whole through a temporary sibling, only when a row goes).
[[nodiscard]] Result<void> appendUsageHistoryRow(const std::filesystem::path& history,
                                                 const std::string& row, std::int64_t maxDays,
                                                 std::time_t now);

// The time of the newest row that carries one; nothing for a missing file or
// when no row of the last few can be read.
[[nodiscard]] std::optional<std::time_t> lastUsageHistoryTime(const std::filesystem::path& history);

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

}  // namespace brimvale
