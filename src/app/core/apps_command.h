// `brimvale apps`: the installed applications with their risk tier, size,
// last use and the tier's reason, filtered and ordered as asked; or the same
// as JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "apps/app_catalogue.h"
#include "apps/app_catalogue_query.h"
#include "apps/app_classifier.h"
#include "apps/classifier_input.h"
#include "apps/macho_reader_bundle.h"
#include "apps/offload_record.h"
#include "platform/bundle_probe.h"

namespace brimvale::app {

struct AppsOptions {
  std::string action;  // empty: the listing; "inspect": one bundle; or app_move_commands.h
  std::string bundle;  // inspect's bundle path; the app or record the action names
  std::string location = "all";  // a raw name of kAppsLocations
  std::string sort = "name";     // a raw name of kAppsSortOrderNames
  int unusedDays = 0;
  std::string category;  // a raw category name; empty: every category
  bool hideRunning = false;
  bool json = false;
  bool overrideRisk = false;  // apps move --override
  bool sweep = false;         // apps reinstalls --sweep
  bool approve = false;       // apps review ID --approve
  bool keepInternal = false;  // apps review ID --keep-internal
};

struct AppsCommandHost {
  apps::AppFolders folders;
  std::filesystem::path factsCache;  // ~/.brimvale/state/app-facts.json
  std::filesystem::path diagnosticsLog;
  platform::BundleProbe& probe;
  apps::RunningCheck isRunning;
  // What classification reads besides the bundle; a test points it into temporary folders.
  apps::ClassifierEnvironment classifier;
  std::filesystem::path dockPreferences;  // the Dock's property list
  apps::MachOToolFallback toolFallback;   // for binaries the native reader cannot parse
  std::int64_t now;                       // seconds since the epoch
  std::ostream& out;
  std::ostream& err;
  // The offload records, which the Offloaded location lists; none when unset.
  std::function<std::vector<apps::OffloadRecord>()> offloadedApps = {};
  // How the app moves run their tools; unset where no app is moved.
  ProcessRunner run = {};
};

// The listing as a table (name, tier, size, last used, reason), or JSON with
// `o.json`. Every listed app is classified. The measured facts are kept for
// the next listing. The Offloaded location lists the offload records instead:
// name, size, date, state and the id `apps restore` takes. 2 when an option
// names no location, order or category (the command line checks these
// first); else 0.
int appsCommand(AppsCommandHost& host, const AppsOptions& o);

// The Dock's pins and the tool fallback of `host`, read once for every app
// classified.
[[nodiscard]] apps::InspectionSources inspectionSources(const AppsCommandHost& host);

// One listed app and its classification.
struct ClassifiedApp {
  apps::AppEntry entry;
  apps::AppClassificationResult classification;
};

// The JSON document of docs/json-schemas.md, pretty-printed with sorted keys.
[[nodiscard]] std::string appsJson(const std::vector<ClassifiedApp>& listed, const AppsOptions& o,
                                   const std::vector<std::string>& notes,
                                   const std::vector<apps::OffloadRecord>& offloaded = {});

// A heading line, then one line per app with its columns aligned; the
// last-used date in local time, "never" when unknown (explained below the
// table).
[[nodiscard]] std::string appsTable(const std::vector<ClassifiedApp>& listed);

}  // namespace brimvale::app
