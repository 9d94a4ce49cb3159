#include "apps/app_catalogue_query.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string>
#include <tuple>

namespace brimvale::apps {
namespace {

constexpr std::int64_t kSecsPerDay = 86'400;

std::string foldedName(const AppEntry& entry) {
  std::string name = entry.displayName;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return name;
}

bool inLocation(const AppEntry& entry, AppsLocationFilter location) {
  switch (location) {
    case AppsLocationFilter::kAll: return true;
    case AppsLocationFilter::kInternalDisk: return !entry.alreadyRelocated;
    case AppsLocationFilter::kMoved: return entry.alreadyRelocated;
    case AppsLocationFilter::kOffloaded: return false;
  }
  return false;
}

// The primary sort key of `entry` under `order`: smaller comes first.
std::int64_t primaryKey(const AppEntry& entry, AppsSortOrder order, const TierOf& tierOf) {
  switch (order) {
    case AppsSortOrder::kName: return 0;
    case AppsSortOrder::kLastUsed:
      return entry.lastUsed.value_or(std::numeric_limits<std::int64_t>::min());
    case AppsSortOrder::kSize: return -entry.sizeBytes;
    case AppsSortOrder::kSafety: return tierOf ? tierOf(entry) : 0;
  }
  return 0;
}

}  // namespace

bool unusedForDays(const AppEntry& entry, int days, std::int64_t now) {
  if (days <= 0 || !entry.lastUsed) return true;
  return now - *entry.lastUsed >= static_cast<std::int64_t>(days) * kSecsPerDay;
}

std::vector<AppEntry> selectApps(std::vector<AppEntry> entries, const AppsQuery& query,
                                 std::int64_t now, const TierOf& tierOf) {
  std::erase_if(entries, [&](const AppEntry& e) {
    return !inLocation(e, query.location) || !unusedForDays(e, query.unusedDays, now) ||
           (query.category && e.category != query.category) || (query.hideRunning && e.running);
  });
  struct Keyed {
    std::int64_t primary;
    std::string name;
    AppEntry entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(entries.size());
  for (auto& e : entries) {
    keyed.push_back({primaryKey(e, query.sort, tierOf), foldedName(e), std::move(e)});
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return std::tie(a.primary, a.name, a.entry.bundlePath) <
           std::tie(b.primary, b.name, b.entry.bundlePath);
  });
  std::vector<AppEntry> selected;
  selected.reserve(keyed.size());
  for (auto& k : keyed) selected.push_back(std::move(k.entry));
  return selected;
}

}  // namespace brimvale::apps
