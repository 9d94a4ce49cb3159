#include "app/core/apps_command.h"

#include "app/core/json_output.h"

#include <algorithm>
#include <array>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/app_catalogue_entry.h"
#include "apps/app_facts_cache.h"
#include "apps/classifier_input.h"
#include "apps/dock_pins.h"
#include "common/base/best_effort.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t columns(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char ch) {
    return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  }));
}

std::string padded(const std::string& text, std::size_t width) {
  return text + std::string(width > columns(text) ? width - columns(text) : 0, ' ');
}

json entryJson(const ClassifiedApp& app) {
  const apps::AppEntry& e = app.entry;
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
      {"inUserFolder", e.inUserFolder},
      {"tier", static_cast<int>(app.classification.tier)},
      {"tierBadge", apps::tierBadge(app.classification.tier)},
      {"tierReason", app.classification.reason}};
  const auto blocked = apps::catalogueBlockReason(e);
  j["blockedReason"] = blocked ? json(*blocked) : json(nullptr);
  j["lastUsedNote"] = e.lastUsed ? json(nullptr) : json(apps::noLastUsedExplanation());
  return j;
}

json offloadedJson(const apps::OffloadRecord& r) {
  std::int64_t size = 0;
  for (const auto& item : r.items) size += item.sizeBytes;
  return {{"id", r.id},
          {"name", r.displayName},
          {"bundleIdentifier", r.bundleID ? json(*r.bundleID) : json(nullptr)},
          {"bundlePath", r.originalBundlePath},
          {"archiveDir", r.archiveDir},
          {"offloadedAt", isots(r.offloadedAt)},
          {"phase", rawNameOf(apps::kOffloadPhaseNames, r.phase)},
          {"sizeBytes", size}};
}

// The offloaded apps by name: they are out of the application folders, so
// their records say what they were.
int offloadedListing(AppsCommandHost& host, const AppsOptions& o) {
  auto records = host.offloadedApps ? host.offloadedApps() : std::vector<apps::OffloadRecord>{};
  std::ranges::stable_sort(records, {}, [](const apps::OffloadRecord& r) {
    std::string name = r.displayName;
    std::ranges::transform(name, name.begin(), [](unsigned char ch) { return std::tolower(ch); });
    return name;
  });
  if (o.json) {
    host.out << appsJson({}, o, {}, records);
    return 0;
  }
  if (records.empty()) {
    host.out << "No apps are offloaded. `brimvale apps offload NAME` offloads one.\n";
    return 0;
  }
  std::vector<std::array<std::string, 5>> rows{{"NAME", "SIZE", "OFFLOADED", "STATE", "ID"}};
  for (const auto& r : records) {
    const json j = offloadedJson(r);
    rows.push_back({r.displayName,
                    platform::formatFileByteCount(j["sizeBytes"].get<std::int64_t>()),
                    localDate(r.offloadedAt), rawInWords(j["phase"].get<std::string>()), r.id});
  }
  std::array<std::size_t, 5> widths{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], columns(row[i]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += i + 1 < row.size() ? padded(row[i], widths[i]) + "  " : row[i];
    }
    host.out << line << "\n";
  }
  host.out << "Bring one back with `brimvale apps restore ID`.\n";
  return 0;
}

// Classifies each app once, however often the order or the table asks.
class ListingClassifier {
 public:
  explicit ListingClassifier(const AppsCommandHost& host)
      : host_(host), sources_(inspectionSources(host)) {}

  const apps::AppClassificationResult& of(const apps::AppEntry& entry) {
    auto it = done_.find(entry.bundlePath);
    if (it == done_.end()) {
      it = done_
               .emplace(entry.bundlePath,
                        apps::classify(apps::classifierInputFor(entry, sources_), host_.classifier))
               .first;
    }
    return it->second;
  }

 private:
  const AppsCommandHost& host_;
  apps::InspectionSources sources_;
  std::map<std::string, apps::AppClassificationResult> done_;
};

}  // namespace

apps::InspectionSources inspectionSources(const AppsCommandHost& host) {
  return {.dockPins = apps::readDockPins(host.dockPreferences), .toolFallback = host.toolFallback};
}

std::string appsJson(const std::vector<ClassifiedApp>& listed, const AppsOptions& o,
                     const std::vector<std::string>& notes,
                     const std::vector<apps::OffloadRecord>& offloaded) {
  json list = json::array();
  for (const auto& app : listed) list.push_back(entryJson(app));
  json archived = json::array();
  for (const auto& r : offloaded) archived.push_back(offloadedJson(r));
  return versionedText(json{{"apps", std::move(list)},
                            {"offloaded", std::move(archived)},
                            {"location", o.location},
                            {"sort", o.sort},
                            {"notes", notes}});
}

std::string appsTable(const std::vector<ClassifiedApp>& listed) {
  struct Row {
    std::string name, tier, size, lastUsed, reason;
  };
  std::vector<Row> rows{{"NAME", "TIER", "SIZE", "LAST USED", "REASON"}};
  bool undated = false;
  for (const auto& [e, classification] : listed) {
    undated |= !e.lastUsed;
    rows.push_back({e.displayName, std::string(apps::tierBadge(classification.tier)),
                    platform::formatFileByteCount(e.sizeBytes),
                    e.lastUsed ? localDate(static_cast<std::time_t>(*e.lastUsed)) : "never",
                    classification.reason});
  }
  std::size_t nameWidth = 0, tierWidth = 0, sizeWidth = 0, usedWidth = 0;
  for (const auto& r : rows) {
    nameWidth = std::max(nameWidth, columns(r.name));
    tierWidth = std::max(tierWidth, columns(r.tier));
    sizeWidth = std::max(sizeWidth, columns(r.size));
    usedWidth = std::max(usedWidth, columns(r.lastUsed));
  }
  std::ostringstream out;
  for (const auto& r : rows) {
    std::string line = padded(r.name, nameWidth) + "  " + padded(r.tier, tierWidth) + "  " +
                       padded(r.size, sizeWidth) + "  " + padded(r.lastUsed, usedWidth) + "  " +
                       r.reason;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
  if (undated) out << "never: " << apps::noLastUsedExplanation() << "\n";
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
  if (*location == apps::AppsLocationFilter::kOffloaded) return offloadedListing(host, o);

  auto cache = apps::AppFactsCache::load(host.factsCache);
  apps::AppDiscovery discovery(host.folders, host.probe, cache, host.isRunning);
  auto found = discovery.discover(host.now);
  // A cache that cannot be written only makes the next listing slower.
  bestEffort(cache.save(), DiagnosticsLog(host.diagnosticsLog), "saving the app facts");
  ListingClassifier classifier(host);
  const auto selected = apps::selectApps(
      std::move(found),
      {.location = *location,
       .sort = *sort,
       .unusedDays = o.unusedDays,
       .category = category,
       .hideRunning = o.hideRunning},
      host.now, [&](const apps::AppEntry& e) { return static_cast<int>(classifier.of(e).tier); });
  std::vector<ClassifiedApp> listed;
  listed.reserve(selected.size());
  for (const auto& e : selected) listed.push_back({e, classifier.of(e)});

  if (o.json) {
    host.out << appsJson(listed, o, {});
    return 0;
  }
  if (listed.empty()) {
    host.out << "No apps to show in " << apps::locationTitle(*location) << ".\n";
    return 0;
  }
  host.out << appsTable(listed);
  return 0;
}

}  // namespace brimvale::app
