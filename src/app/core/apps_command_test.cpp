#include "app/core/apps_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/core/apps_command_test_host.h"
#include "apps/app_catalogue_test_bundles.h"
#include "apps/dock_pins.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using apps::testing::makeBundle;

constexpr std::int64_t kNow = testing::kAppsTestNow;
constexpr std::int64_t kDay = 86'400;

// Answers from a table and counts what it was asked.
class TableProbe final : public platform::BundleProbe {
 public:
  std::map<std::string, std::int64_t> lastUsedByName;  // bundle file name -> date
  int asked = 0;

  std::optional<std::int64_t> lastUsed(const std::string& bundle, const std::string&) override {
    ++asked;
    auto it = lastUsedByName.find(fs::path(bundle).filename().string());
    return it == lastUsedByName.end() ? std::nullopt : std::optional(it->second);
  }
  bool appleSigned(const std::string&) override { return false; }
};

// Every folder the classification reads lies under `tmp`.
AppsCommandHost hostFor(const brimvale::testing::TempFolder& tmp, platform::BundleProbe& probe,
                        std::ostream& out, std::ostream& err) {
  return testing::appsHostIn(tmp, probe, out, err);
}

struct Listing {
  brimvale::testing::TempFolder tmp;
  fs::path system = tmp.folder("root/Applications");
  TableProbe probe;
  std::ostringstream out, err;

  Listing() {
    makeBundle(system, "Old Editor", {}, apps::testing::PlistEncoding::kXml, 300'000);
    makeBundle(system, "Recent");
    makeBundle(tmp / "drive", "Moved Game",
               {{"LSApplicationCategoryType", "public.app-category.games"}});
    tmp.link("root/Applications/Moved Game.app", tmp / "drive/Moved Game.app");
    probe.lastUsedByName = {{"Old Editor.app", kNow - 100 * kDay}, {"Recent.app", kNow - 1 * kDay}};
  }

  std::vector<apps::OffloadRecord> offloaded;

  int run(const AppsOptions& o) {
    out.str("");
    err.str("");
    AppsCommandHost host = hostFor(tmp, probe, out, err);
    host.offloadedApps = [this] { return offloaded; };
    return appsCommand(host, o);
  }
};

TEST(AppsCommand, TableShowsEachAppWithItsTierAndReason) {
  Listing l;
  ASSERT_EQ(l.run({.sort = "size"}), 0);
  const std::string text = l.out.str();
  std::istringstream lines(text);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 5u);
  const std::string& header = rows[0];
  EXPECT_EQ(header.find("NAME"), 0u);
  EXPECT_EQ(rows[1].find("Old Editor"), 0u) << "largest first";
  struct Row {
    const char* name;
    const char* badge;
    const char* lastUsed;
    const char* reasonStart;
  };
  const Row expected[] = {
      {"Old Editor", "Safe", "", "Safe to relocate."},
      {"Moved Game", "Blocked", "never", "Already relocated to NVMe."},
      {"Recent", "Caveat", "", "Used 1 day ago"},
  };
  for (const Row& want : expected) {
    SCOPED_TRACE(want.name);
    const auto row =
        std::ranges::find_if(rows, [&](const std::string& r) { return r.starts_with(want.name); });
    ASSERT_NE(row, rows.end());
    // Columns line up: every value starts where its heading does.
    for (const char* heading : {"TIER", "SIZE", "LAST USED", "REASON"}) {
      const auto at = header.find(heading);
      ASSERT_LT(at, row->size());
      EXPECT_EQ(row->substr(at - 2, 2), "  ");
      EXPECT_NE((*row)[at], ' ');
    }
    EXPECT_EQ(row->substr(header.find("TIER")).starts_with(want.badge), true);
    EXPECT_EQ(row->substr(header.find("LAST USED")).starts_with("never"),
              std::string_view(want.lastUsed) == "never");
    EXPECT_TRUE(row->substr(header.find("REASON")).starts_with(want.reasonStart)) << *row;
  }
  EXPECT_TRUE(rows[4].starts_with("never: ")) << "the undated app's explanation follows";
  EXPECT_NE(rows[4].find("has no record of this app"), std::string::npos);
}

// The safety order really orders by tier, safest first; other orders ignore the tier.
TEST(AppsCommand, SafetyOrdersByTier) {
  struct Case {
    const char* sort;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"safety", {"Old Editor", "Recent", "Moved Game"}},
      {"name", {"Moved Game", "Old Editor", "Recent"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sort);
    Listing l;
    ASSERT_EQ(l.run({.sort = c.sort, .json = true}), 0);
    const auto doc = nlohmann::json::parse(l.out.str());
    std::vector<std::string> names;
    for (const auto& app : doc["apps"]) names.push_back(app["name"]);
    EXPECT_EQ(names, c.names);
    EXPECT_TRUE(doc["notes"].empty()) << "no excuse for the order any more";
  }
}

TEST(AppsCommand, JsonCarriesTheFactsAndTheReasons) {
  Listing l;
  ASSERT_EQ(l.run({.location = "moved", .json = true}), 0);
  const auto doc = nlohmann::json::parse(l.out.str());
  ASSERT_EQ(doc["apps"].size(), 1u);
  const auto& moved = doc["apps"][0];
  EXPECT_EQ(moved["name"], "Moved Game");
  EXPECT_EQ(moved["alreadyRelocated"], true);
  EXPECT_EQ(moved["blockedReason"],
            "Already relocated to NVMe. Use the Moved tab to bring it back.");
  EXPECT_EQ(moved["category"], "games");
  EXPECT_EQ(moved["tier"], 4);
  EXPECT_EQ(moved["tierBadge"], "Blocked");
  EXPECT_EQ(moved["tierReason"], "Already relocated to NVMe. Use the Moved tab to bring it back.");
  EXPECT_TRUE(moved["lastUsed"].is_null());
  EXPECT_NE(moved["lastUsedNote"].get<std::string>().find("has no record of this app"),
            std::string::npos);
  EXPECT_EQ(doc["location"], "moved");
  EXPECT_TRUE(doc["notes"].empty());
}

// The Offloaded location lists the records, not the application folders: the
// apps there are the installed ones, which must not show up as offloaded.
TEST(AppsCommand, OffloadedLocationListsTheOffloadRecordsByName) {
  Listing l;
  const auto record = [](std::string id, std::string name, apps::OffloadPhase phase,
                         std::vector<std::int64_t> sizes) {
    apps::OffloadRecord r{.id = std::move(id),
                          .displayName = name,
                          .originalBundlePath = "/Applications/" + name + ".app",
                          .archiveDir = "/drive/Offloaded/" + name,
                          .offloadedAt = kNow - kDay,
                          .phase = phase};
    for (auto size : sizes) r.items.push_back({.sizeBytes = size});
    return r;
  };
  l.offloaded = {record("id-2", "zebra", apps::OffloadPhase::kWaitingForDrive, {1}),
                 record("id-1", "Atlas", apps::OffloadPhase::kDone, {2048, 1024})};
  struct Case {
    const char* name;
    bool json;
    std::vector<std::string> inOrder;  // parts of the output, in this order
  };
  const Case cases[] = {
      {"table",
       false,
       {"NAME", "Atlas", "3 KB", "done", "id-1", "zebra", "waitingForDrive", "id-2",
        "brimvale apps restore ID"}},
      {"json", true, {"\"offloaded\"", "\"id-1\"", "\"sizeBytes\": 3072", "\"id-2\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(l.run({.location = "offloaded", .json = c.json}), 0);
    const std::string text = l.out.str();
    std::size_t at = 0;
    for (const auto& part : c.inOrder) {
      at = text.find(part, at);
      ASSERT_NE(at, std::string::npos) << part << " in\n" << text;
    }
    EXPECT_EQ(text.find("Old Editor"), std::string::npos) << "installed apps listed as offloaded";
  }
  const auto doc = nlohmann::json::parse(l.out.str());
  EXPECT_TRUE(doc["apps"].empty());
  EXPECT_EQ(doc["offloaded"][0]["bundlePath"], "/Applications/Atlas.app");
  EXPECT_EQ(doc["offloaded"][1]["phase"], "waitingForDrive");
}

TEST(AppsCommand, SaysWhyATabCannotBeFilled) {
  struct Case {
    const char* name;
    AppsOptions options;
    int exit;
    const char* out;  // a part of the output
  };
  const Case cases[] = {
      {"nothing offloaded", {.location = "offloaded"}, 0, "No apps are offloaded."},
      {"a never-opened game passes every filter",
       {.unusedDays = 365, .category = "games", .hideRunning = true},
       0,
       "NAME"},
      {"unknown category", {.category = "knitting"}, 2, ""},
      {"too many days", {.unusedDays = 366}, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Listing l;
    EXPECT_EQ(l.run(c.options), c.exit);
    EXPECT_NE(l.out.str().find(c.out), std::string::npos) << l.out.str();
    EXPECT_EQ(l.err.str().empty(), c.exit == 0);
  }
}

TEST(AppsCommand, TheNextListingReadsTheKeptFacts) {
  Listing l;
  ASSERT_EQ(l.run({}), 0);
  EXPECT_EQ(l.probe.asked, 3);
  ASSERT_EQ(l.run({.json = true}), 0);
  EXPECT_EQ(l.probe.asked, 3);
  EXPECT_TRUE(fs::exists(l.tmp / "state/app-facts.json"));
}

}  // namespace
}  // namespace brimvale::app
