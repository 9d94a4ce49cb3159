#include "app/core/state_json.h"
#include "app/core/discover_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/core/app_risk_report_command.h"
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
      {"brimvale care --list --json",
       careRemovalsJson(care::RemovalRecord{.at = 1777604400, .removed = {{"/h/.npm", 5}}})},
      {"brimvale relocated --json",
       relocatedJson({mover::RelocatedItem{}}, mover::ScanDiagnostic{})},
      {"brimvale discover --json", discoverJson("[]", "").value_or("")},
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

}  // namespace
}  // namespace brimvale::app
