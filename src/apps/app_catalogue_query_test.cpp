#include "apps/app_catalogue_query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brimvale::apps {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kDay = 86'400;

AppEntry app(std::string name, std::int64_t size, std::optional<std::int64_t> daysAgo,
             bool relocated = false, bool running = false,
             std::optional<AppCategory> category = std::nullopt) {
  AppEntry e;
  e.displayName = name;
  e.bundlePath = "/Applications/" + name + ".app";
  e.id = e.bundlePath;
  e.sizeBytes = size;
  if (daysAgo) e.lastUsed = kNow - *daysAgo * kDay;
  e.alreadyRelocated = relocated;
  e.running = running;
  e.category = category;
  return e;
}

std::vector<AppEntry> catalogue() {
  return {
      app("zebra", 500, 2),
      app("Alpha", 100, 90, false, false, AppCategory::kGames),
      app("mail", 300, std::nullopt),
      app("Beta", 900, 45, true, false, AppCategory::kGames),
      app("Editor", 300, 10, false, true, AppCategory::kDeveloperTools),
  };
}

std::vector<std::string> names(const std::vector<AppEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.displayName);
  return out;
}

TEST(AppCatalogueQuery, FiltersAndOrders) {
  struct Case {
    const char* name;
    AppsQuery query;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"by name, ignoring case", {}, {"Alpha", "Beta", "Editor", "mail", "zebra"}},
      {"longest unused first, no date first of all",
       {.sort = AppsSortOrder::kLastUsed},
       {"mail", "Alpha", "Beta", "Editor", "zebra"}},
      {"largest first, equal sizes by name",
       {.sort = AppsSortOrder::kSize},
       {"Beta", "zebra", "Editor", "mail", "Alpha"}},
      {"internal disk only",
       {.location = AppsLocationFilter::kInternalDisk},
       {"Alpha", "Editor", "mail", "zebra"}},
      {"moved only", {.location = AppsLocationFilter::kMoved}, {"Beta"}},
      {"offloaded apps are not among the installed ones",
       {.location = AppsLocationFilter::kOffloaded},
       {}},
      {"not opened for 30 days (an app with no date counts)",
       {.unusedDays = 30},
       {"Alpha", "Beta", "mail"}},
      {"exactly the boundary day counts as unused",
       {.unusedDays = 10},
       {"Alpha", "Beta", "Editor", "mail"}},
      {"0 days shows every age", {.unusedDays = 0}, {"Alpha", "Beta", "Editor", "mail", "zebra"}},
      {"one category", {.category = AppCategory::kGames}, {"Alpha", "Beta"}},
      {"running apps hidden", {.hideRunning = true}, {"Alpha", "Beta", "mail", "zebra"}},
      {"filters combine",
       {.location = AppsLocationFilter::kInternalDisk,
        .sort = AppsSortOrder::kSize,
        .unusedDays = 5,
        .hideRunning = true},
       {"mail", "Alpha"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(names(selectApps(catalogue(), c.query, kNow)), c.expected);
  }
}

TEST(AppCatalogueQuery, SafetyOrdersByTierSafestFirst) {
  const TierOf tier = [](const AppEntry& e) { return e.sizeBytes >= 500 ? 3 : 1; };
  EXPECT_EQ(names(selectApps(catalogue(), {.sort = AppsSortOrder::kSafety}, kNow, tier)),
            (std::vector<std::string>{"Alpha", "Editor", "mail", "Beta", "zebra"}));
}

}  // namespace
}  // namespace brimvale::apps
