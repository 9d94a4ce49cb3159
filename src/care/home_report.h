// Gathers the home screen's facts from what the system already knows (the
// service's status snapshot, the purgeable estimate, the movable apps, the
// usage history) and renders the home screen as plain text.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/status_reader.h"
#include "care/home_guidance.h"
#include "care/movable_apps.h"

namespace brimvale::care {

// How far back the trend looks.
inline constexpr int kTrendDays = 7;

// Facts from the decoded status snapshot (free space, drive, pause, the
// configured thresholds) and the other sources. Bytes become whole decimal
// GB, rounded down. `cloudAccounts` is 0 until cloud accounts exist.
[[nodiscard]] HomeFacts homeFactsFrom(const app::ServiceStatus& status,
                                      std::int64_t purgeableBytes, std::int64_t cloudAccounts,
                                      const MovableApps& apps);

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

// Headline, detail, the estimate (when there is one), the plan sentence, the
// further actions and the trend sentence, one per line.
[[nodiscard]] std::string renderHome(const HomeFacts& facts, const TrendInput& trend);

}  // namespace brimvale::care
