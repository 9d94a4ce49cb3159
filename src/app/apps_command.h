// `brimvale apps`: the installed applications with their size, last use and
// why one cannot move, filtered and ordered as asked; or the same as JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "apps/app_catalogue.h"
#include "apps/app_catalogue_query.h"
#include "platform/bundle_probe.h"

namespace brimvale::app {

struct AppsOptions {
  std::string location = "all";  // a raw name of kAppsLocations
  std::string sort = "name";     // a raw name of kAppsSortOrderNames
  int unusedDays = 0;
  std::string category;  // a raw category name; empty: every category
  bool hideRunning = false;
  bool json = false;
};

struct AppsCommandHost {
  apps::AppFolders folders;
  std::filesystem::path factsCache;  // ~/.brimvale/state/app-facts.json
  std::filesystem::path diagnosticsLog;
  platform::BundleProbe& probe;
  apps::RunningCheck isRunning;
  std::int64_t now;  // seconds since the epoch
  std::ostream& out;
  std::ostream& err;
};

// The listing as a table (name, size, last used, reason), or JSON with
// `o.json`. The measured facts are kept for the next listing. 2 when an
// option names no location, order or category (the command line checks
// these first); else 0.
int appsCommand(AppsCommandHost& host, const AppsOptions& o);

// The JSON document of docs/json-schemas.md, pretty-printed with sorted keys.
[[nodiscard]] std::string appsJson(const std::vector<apps::AppEntry>& entries, const AppsOptions& o,
                                   const std::vector<std::string>& notes);

// A heading line, then one line per entry with its columns aligned; the
// last-used date in local time, "never" with the explanation when unknown.
[[nodiscard]] std::string appsTable(const std::vector<apps::AppEntry>& entries);

}  // namespace brimvale::app
