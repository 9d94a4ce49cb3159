// The home screen as plain text, and the trend of free space read from the
// usage history.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "care/home_guidance.h"

namespace brimvale::care {

// How far back the trend looks.
inline constexpr int kTrendDays = 7;

// The trend from usage-history rows (NDJSON with "ts" in UTC and
// "internal_free_gb"): the start is the oldest row of the last `days` days
// before `now`, the period the whole days since it. Undecodable rows are
// skipped; without a row in the window the period is 0 days.
[[nodiscard]] TrendInput trendFromHistory(std::string_view ndjson, std::time_t now,
                                          std::int64_t freeGbNow, std::string volumeName,
                                          int days = kTrendDays);

// trendFromHistory over the end of the history file; a missing file gives no
// rows.
[[nodiscard]] TrendInput readTrend(const std::filesystem::path& historyFile, std::time_t now,
                                   std::int64_t freeGbNow, std::string volumeName);

// Headline, detail, the estimate (when there is one), the sentence of `plan`
// (sized by `reclaim-scan` where it could be, so the clean-up names what this
// home holds), the further actions and the trend sentence, one per line.
[[nodiscard]] std::string renderHome(const HomeFacts& facts, const std::vector<CareStep>& plan,
                                     const TrendInput& trend);

}  // namespace brimvale::care
