// What the catalogue shows of the discovered apps: the location tab, the
// last-used age and category filters, hiding running apps, and the order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "apps/app_catalogue_entry.h"

namespace brimvale::apps {

inline constexpr int kMaxUnusedDays = 365;

struct AppsQuery {
  AppsLocationFilter location = AppsLocationFilter::kAll;
  AppsSortOrder sort = AppsSortOrder::kName;
  // Only apps not opened for at least this many days; 0 shows every age.
  int unusedDays = 0;
  std::optional<AppCategory> category;
  bool hideRunning = false;
};

// The risk tier of an app (1 safest); the safety order needs it.
using TierOf = std::function<int(const AppEntry&)>;

// True unless the app was opened within the last `days` days before `now`
// (seconds since the epoch). An app with no last-used date was never opened
// as far as anyone knows, so it is never recent.
[[nodiscard]] bool unusedForDays(const AppEntry& entry, int days, std::int64_t now);

// The entries `query` selects, in its order:
// - location: `internal` the bundles in place, `moved` the relocated ones;
//   `offloaded` selects none of these, since an offloaded app is no longer
//   installed and is known only from its offload record;
// - name: A to Z ignoring case; last used: longest unused first, the ones
//   with no date before all others; size: largest first; safety: by `tierOf`,
//   safest first (by name when no `tierOf` is given).
// Ties keep name order, then path order, so the listing is stable.
[[nodiscard]] std::vector<AppEntry> selectApps(std::vector<AppEntry> entries,
                                               const AppsQuery& query, std::int64_t now,
                                               const TierOf& tierOf = {});

}  // namespace brimvale::apps
