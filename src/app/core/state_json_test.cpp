#include "app/core/state_json.h"
#include "app/core/discover_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/cli/app_risk_report_command.h"
#include "app/core/relocated_command.h"

namespace brimvale::app {
namespace {
using nlohmann::json;
using transfers::BackgroundIssue;
using transfers::BackgroundJob;
using transfers::JobKind;
using transfers::JobOutcome;

// Every key of the document as the schema page writes it: "a.b" for a key of
// an object under "a", "a[].b" for a key of each object in the array under "a".
void collectKeys(const json& value, const std::string& prefix, std::set<std::string>& keys) {
  if (value.is_array()) {
    for (const auto& item : value) collectKeys(item, prefix + "[]", keys);
    return;
  }
  if (!value.is_object()) return;
  for (const auto& [key, inner] : value.items()) {
    const std::string path = prefix.empty() ? key : prefix + "." + key;
    keys.insert(path);
    collectKeys(inner, path, keys);
  }
}

// The first cell of each table row in the page's section for `heading`.
std::set<std::string> documentedKeys(const std::string& heading) {
  std::ifstream page(std::string(BRIMVALE_DOCS_DIR) + "/json-schemas.md");
  std::set<std::string> keys;
  bool inSection = false;
  for (std::string line; std::getline(page, line);) {
    if (line.starts_with("## ")) inSection = line == "## `" + heading + "`";
    if (!inSection || !line.starts_with("| `")) continue;
    const auto end = line.find('`', 3);
    keys.insert(line.substr(3, end - 3));
  }
  return keys;
}

ServiceStatus fixedStatus() {
  ServiceStatus s;
  s.timestamp = "2026-05-01T03:00:00Z";
  s.nvmePath = "/media/fast";
  s.mounted = true;
  s.nvmeFreeBytes = 812000000000;
  s.internalFreeGb = 110;
  s.lastEvent = "started";
  return s;
}

std::vector<BackgroundJob> fixedJobs() {
  BackgroundJob sync{.kind = JobKind::kAutoSync,
                     .lastRunAt = "2026-12-07T09:30:00Z",
                     .lastOutcome = JobOutcome::kPartial,
                     .lastSummary = "moved 2 of 3 folders",
                     .totalRuns = 4,
                     .succeeded = 3,
                     .bytesHandled = 5000000000};
  return {sync};
}

std::vector<BackgroundIssue> fixedIssues() {
  return {{.signature = "auto_sync|Photos",
           .feature = "auto_sync",
           .message = "Photos could not be copied",
           .itemName = "Photos",
           .count = 2,
           .firstSeen = "2026-05-01T03:00:00Z",
           .lastSeen = "not a time"}};
}

std::vector<platform::DeliveredNotification> fixedNotifications() {
  platform::DeliveredNotification n;
  n.request = {.identifier = "low-space", .title = "Space is low", .body = "Free some space."};
  n.deliveredAt = "2026-12-07T09:30:00Z";
  return {n};
}

std::vector<snapshots::LocalSnapshot> fixedSnapshots() {
  return {{.name = "com.example.snapshot.2026-05-01-030000",
           .stamp = "2026-05-01-030000",
           .date = 1777604400},
          {.name = "system-update-snapshot", .isProtected = true}};
}

care::SizedPlan fixedPlan() {
  using care::CareStep;
  return {.steps = {CareStep{}, CareStep::reclaim(care::ReclaimCategory::kTrash),
                    CareStep::reclaim(care::ReclaimCategory::kSyslog)},
          .scan = {{.category = care::ReclaimCategory::kSyslog, .bytes = 700, .items = 3},
                   {.category = care::ReclaimCategory::kTrash, .bytes = 9000, .items = 12}}};
}

// Low on space with big movable apps, so the plan and the further actions are not empty.
care::HomeFacts fixedFacts() {
  return {.internalFreeGb = 30,
          .driveConnected = true,
          .movableAppCount = 3,
          .movableAppsGb = 25,
          .snapshotGb = 6,
          .warnThresholdGb = 40,
          .criticalThresholdGb = 15};
}

// An app with one finding of every kind, so every documented key is printed.
ClassifiedApp fixedApp() {
  using namespace apps;
  ClassifiedApp app;
  app.entry = {.id = "/Applications/Tool.app",
               .displayName = "Tool",
               .bundlePath = "/Applications/Tool.app",
               .bundleIdentifier = "com.example.tool",
               .sizeBytes = 4096,
               .lastUsed = 1777604400,
               .category = AppCategory::kUtilities};
  app.classification = {
      .tier = RiskTier::kOverride,
      .reason = "An installed launchd registration (`t`) references this app's exact location.",
      .updateFramework = UpdateFramework::kSparkle1,
      .updateFrameworkDetails = {{"sparkle_version", "1.27"}},
      .tccEntitlements = {{"NSCameraUsageDescription", "Camera",
                           TccSource::kInfoPlistUsageDescription}},
      .dependencyReport = {{"Contents/MacOS/Tool", "/usr/lib/libSystem.B.dylib",
                            LoadPathKind::kSystemAbsolute}},
      .helperReferences = {{"/Library/LaunchAgents/t.plist", "t",
                            "/Applications/Tool.app/Contents/MacOS/t",
                            HelperKind::kLaunchAgentSystem}}};
  return app;
}

TEST(StateJson, KeysAreExactlyTheDocumentedOnes) {
  struct Case {
    std::string heading;
    std::string output;
  };
  const Case cases[] = {
      {"brimvale status --json", statusJson({.loaded = true, .pid = 42}, fixedStatus())},
      {"brimvale jobs --json", jobsJson(fixedJobs(), fixedIssues())},
      {"brimvale notifications --json", notificationsJson(fixedNotifications())},
      {"brimvale snapshots --json", snapshotsJson(fixedSnapshots())},
      {"brimvale care --plan --json", carePlanJson(fixedPlan())},
      {"brimvale care --list --json",
       careRemovalsJson(care::RemovalRecord{.at = 1777604400, .removed = {{"/h/.npm", 5}}})},
      {"brimvale home --json", homeJson(fixedFacts(), {.volumeName = "Internal", .freeGbNow = 30},
                                        {.at = "2026-05-01T03:00:00Z", .summary = "Freed 2 GB."})},
      {"brimvale relocated --json",
       relocatedJson({mover::RelocatedItem{}}, mover::ScanDiagnostic{})},
      {"brimvale discover --json", discoverJson("[]", "").value_or("")},
      {"brimvale apps --json", appsJson({fixedApp()}, {}, {"a note"}, {apps::OffloadRecord{}})},
      {"brimvale apps inspect --json", inspectionJson(fixedApp())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.heading);
    std::set<std::string> keys;
    collectKeys(json::parse(c.output), "", keys);
    const auto documented = documentedKeys(c.heading);
    ASSERT_FALSE(documented.empty());
    EXPECT_EQ(keys, documented);
  }
}

// Absent values are null, not omitted or zero; numbers stay numbers; lists
// keep their order; each plan step carries the scan of its own category.
TEST(StateJson, AbsentValuesAreNullAndNumbersStayNumbers) {
  const json status = json::parse(statusJson({.loaded = true}, fixedStatus()));
  const json jobs = json::parse(jobsJson(fixedJobs(), fixedIssues()));
  const json& sync = jobs["jobs"][0];
  const json& idle = jobs["jobs"][1];
  const json shown = json::parse(notificationsJson(fixedNotifications()));
  json home = json::parse(
      homeJson(fixedFacts(), {.volumeName = "Internal"}, {}));  // a missing step reads as null
  const json ran = json::parse(careRemovalsJson(
      care::RemovalRecord{.at = 1777604400, .removed = {{"/h/b", 3'000'000'000}, {"/h/a", 4}}}));
  const json steps = json::parse(carePlanJson(fixedPlan()))["steps"];
  const json snaps = json::parse(snapshotsJson(fixedSnapshots()))["snapshots"];
  struct Case {
    const char* what;
    json actual;
    json expected;
  };
  const Case cases[] = {
      {"service not running", status["service"]["running"], false},
      {"no pid while not running", status["service"]["pid"], nullptr},
      {"unknown free GB", status["snapshot"]["nvme_free_gb"], nullptr},
      {"free bytes as a number", status["snapshot"]["nvme_free_bytes"], 812000000000},
      {"snapshot epoch", status["snapshotEpoch"], 1777604400},
      {"first kind in ledger order", sync["kind"], "auto_sync"},
      {"outcome by its raw name", sync["lastOutcome"], "partial"},
      {"bytes as a number", sync["bytesHandled"], 5000000000},
      {"run epoch", sync["lastRunAtEpoch"], 1796635800},
      {"issue under its own kind", sync["issues"][0]["itemName"], "Photos"},
      {"an unreadable time has no epoch", sync["issues"][0]["lastSeenEpoch"], nullptr},
      {"a kind that never ran", idle["hasRun"], false},
      {"its runs are null, not zero", idle["totalRuns"], nullptr},
      {"its issues are empty", idle["issues"], json::array()},
      {"every job kind is listed", jobs["jobs"].size(), transfers::jobKinds().size()},
      {"no notifications is an empty list", json::parse(notificationsJson({})),
       json({{"notifications", json::array()}})},
      {"a notification's level", shown["notifications"][0]["interruptionLevel"], "passive"},
      {"its epoch", shown["notifications"][0]["deliveredAtEpoch"], 1796635800},
      {"home without an earlier clean-up", home["lastCare"],
       json({{"at", nullptr}, {"atEpoch", nullptr}, {"summary", nullptr}})},
      {"home facts", home["facts"]["movableAppsGb"], 25},
      {"home plan steps are sentences", home["plan"]["steps"][0].is_string(), true},
      {"no clean-up list before the first run", json::parse(careRemovalsJson(std::nullopt)),
       json(
           {{"at", nullptr}, {"atEpoch", nullptr}, {"removed", json::array()}, {"totalBytes", 0}})},
      {"a clean-up's time", ran["at"], "2026-05-01T03:00:00Z"},
      {"and epoch", ran["atEpoch"], 1777604400},
      {"its items keep their order", ran["removed"][0]["path"], "/h/b"},
      {"item bytes", ran["removed"][1]["bytes"], 4},
      {"and add up", ran["totalBytes"], 3'000'000'004},
      {"a step the scan does not size", steps[0]["freeableBytes"], nullptr},
      {"and it has no category", steps[0]["category"], nullptr},
      {"trash takes the trash figures", steps[1]["freeableBytes"], 9000},
      {"trash category", steps[1]["category"], "trash"},
      {"logs take the log figures", steps[2]["items"], 3},
      {"a dated snapshot in UTC", snaps[0]["date"], "2026-05-01T03:00:00Z"},
      {"its epoch", snaps[0]["dateEpoch"], 1777604400},
      {"a system snapshot has no date", snaps[1]["date"], nullptr},
      {"and is protected", snaps[1]["protected"], true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.actual, c.expected);
  }
}

}  // namespace
}  // namespace brimvale::app
