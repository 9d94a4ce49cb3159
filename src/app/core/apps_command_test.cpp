#include "app/core/apps_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/core/apps_command_test_host.h"
#include "apps/app_catalogue_test_bundles.h"
#include "apps/dock_pins.h"
#include "testing/base/temp_folder.h"

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
  ASSERT_EQ(l.run({.location = "offloaded"}), 0);
  const std::string text = l.out.str();
  std::size_t at = 0;
  for (const char* part : {"NAME", "Atlas", "3 KB", "done", "id-1", "zebra", "waiting for drive",
                           "id-2", "brimvale apps restore ID"}) {
    at = text.find(part, at);
    ASSERT_NE(at, std::string::npos) << part << " in\n" << text;
  }
  EXPECT_EQ(text.find("Old Editor"), std::string::npos) << "installed apps listed as offloaded";
  ASSERT_EQ(l.run({.location = "offloaded", .json = true}), 0);
  const auto doc = nlohmann::json::parse(l.out.str());
  EXPECT_TRUE(doc["apps"].empty());
  EXPECT_EQ(doc["offloaded"][0]["bundlePath"], "/Applications/Atlas.app");
  EXPECT_EQ(doc["offloaded"][1]["phase"], "waitingForDrive");
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
