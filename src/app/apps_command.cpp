#include "app/apps_command.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/app_catalogue_entry.h"
#include "apps/app_facts_cache.h"
#include "common/base/best_effort.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

constexpr std::string_view kOffloadedNote =
    "No apps have been offloaded: offloading is not available in this version yet, so this tab "
    "stays empty.";
constexpr std::string_view kSafetyNote =
    "Ordering by safety needs each app's risk tier, which this version does not work out yet; "
    "ordered by name instead.";

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t columns(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
    return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  }));
}

std::string padded(const std::string& text, std::size_t width) {
  return text + std::string(width > columns(text) ? width - columns(text) : 0, ' ');
}

// The reason shown beside an entry: why it cannot move, else why it has no date.
std::string reasonOf(const apps::AppEntry& e) {
  if (auto blocked = apps::catalogueBlockReason(e)) return *blocked;
  return e.lastUsed ? std::string() : apps::noLastUsedExplanation();
}

json entryJson(const apps::AppEntry& e) {
  json j{
      {"id", e.id},
      {"name", e.displayName},
      {"bundlePath", e.bundlePath},
      {"bundleIdentifier", e.bundleIdentifier ? json(*e.bundleIdentifier) : json(nullptr)},
      {"sizeBytes", e.sizeBytes},
      {"lastUsed", e.lastUsed ? json(isots(static_cast<std::time_t>(*e.lastUsed))) : json(nullptr)},
      {"alreadyRelocated", e.alreadyRelocated},
      {"appleSigned", e.appleSigned},
      {"running", e.running},
      {"category", e.category ? json(apps::categoryRawName(*e.category)) : json(nullptr)},
      {"categoryTitle", e.category ? json(apps::categoryTitle(*e.category)) : json(nullptr)},
      {"inUserFolder", e.inUserFolder}};
  const auto blocked = apps::catalogueBlockReason(e);
  j["blockedReason"] = blocked ? json(*blocked) : json(nullptr);
  j["lastUsedNote"] = e.lastUsed ? json(nullptr) : json(apps::noLastUsedExplanation());
  return j;
}

}  // namespace

std::string appsJson(const std::vector<apps::AppEntry>& entries, const AppsOptions& o,
                     const std::vector<std::string>& notes) {
  json list = json::array();
  for (const auto& e : entries) list.push_back(entryJson(e));
  return json{{"apps", std::move(list)},
              {"location", o.location},
              {"sort", o.sort},
              {"notes", notes}}
             .dump(2) +
         "\n";
}

std::string appsTable(const std::vector<apps::AppEntry>& entries) {
  struct Row {
    std::string name, size, lastUsed, reason;
  };
  std::vector<Row> rows{{"NAME", "SIZE", "LAST USED", "REASON"}};
  for (const auto& e : entries) {
    rows.push_back({e.displayName, platform::formatFileByteCount(e.sizeBytes),
                    e.lastUsed ? localDate(static_cast<std::time_t>(*e.lastUsed)) : "never",
                    reasonOf(e)});
  }
  std::size_t nameWidth = 0, sizeWidth = 0, usedWidth = 0;
  for (const auto& r : rows) {
    nameWidth = std::max(nameWidth, columns(r.name));
    sizeWidth = std::max(sizeWidth, columns(r.size));
    usedWidth = std::max(usedWidth, columns(r.lastUsed));
  }
  std::ostringstream out;
  for (const auto& r : rows) {
    std::string line = padded(r.name, nameWidth) + "  " + padded(r.size, sizeWidth) + "  " +
                       padded(r.lastUsed, usedWidth) + "  " + r.reason;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
  return out.str();
}

int appsCommand(AppsCommandHost& host, const AppsOptions& o) {
  const auto location = apps::locationOfRawName(o.location);
  const auto sort = valueOfRaw(apps::kAppsSortOrderNames, o.sort);
  const auto category = apps::categoryOfRawName(o.category);
  if (!location || !sort || (!o.category.empty() && !category) || o.unusedDays < 0 ||
      o.unusedDays > apps::kMaxUnusedDays) {
    host.err << "Choose a location, order, category and number of days from `brimvale apps "
                "--help`. Nothing was listed.\n";
    return 2;
  }
  std::vector<std::string> notes;
  if (*location == apps::AppsLocationFilter::kOffloaded) notes.emplace_back(kOffloadedNote);
  if (*sort == apps::AppsSortOrder::kSafety) notes.emplace_back(kSafetyNote);

  auto cache = apps::AppFactsCache::load(host.factsCache);
  apps::AppDiscovery discovery(host.folders, host.probe, cache, host.isRunning);
  auto found = discovery.discover(host.now);
  // A cache that cannot be written only makes the next listing slower.
  (void)bestEffort(cache.save(), DiagnosticsLog(host.diagnosticsLog), "saving the app facts");
  const auto selected = apps::selectApps(std::move(found),
                                         {.location = *location,
                                          .sort = *sort,
                                          .unusedDays = o.unusedDays,
                                          .category = category,
                                          .hideRunning = o.hideRunning},
                                         host.now);

  if (o.json) {
    host.out << appsJson(selected, o, notes);
    return 0;
  }
  for (const auto& note : notes) host.out << note << "\n";
  if (selected.empty()) {
    host.out << "No apps to show in " << apps::locationTitle(*location) << ".\n";
    return 0;
  }
  host.out << appsTable(selected);
  return 0;
}

}  // namespace brimvale::app
