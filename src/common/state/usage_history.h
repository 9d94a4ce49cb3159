// The usage history state/history.ndjson: one row of space figures per
// snapshot, written by the service's `snapshot` and hourly by the application.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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

// Appends `row` and, once the file holds more than `maxRows` lines, keeps only
// the newest `maxRows` (rewritten whole through a temporary sibling).
[[nodiscard]] Result<void> appendUsageHistoryRow(const std::filesystem::path& history,
                                                 const std::string& row, std::size_t maxRows);

// The time of the newest row that carries one; nothing for a missing file or
// when no row of the last few can be read.
[[nodiscard]] std::optional<std::time_t> lastUsageHistoryTime(const std::filesystem::path& history);

}  // namespace brimvale
