#include "app/apps_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/app_catalogue_test_bundles.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using apps::testing::makeBundle;

constexpr std::int64_t kNow = 1'800'000'000;
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

  int run(const AppsOptions& o) {
    out.str("");
    err.str("");
    AppsCommandHost host{.folders = apps::defaultAppFolders(tmp / "home", tmp / "root"),
                         .factsCache = tmp / "state/app-facts.json",
                         .diagnosticsLog = tmp / "diagnostics.log",
                         .probe = probe,
                         .isRunning = {},
                         .now = kNow,
                         .out = out,
                         .err = err};
    return appsCommand(host, o);
  }
};

TEST(AppsCommand, TableShowsEachAppWithItsReason) {
  Listing l;
  ASSERT_EQ(l.run({.sort = "size"}), 0);
  const std::string text = l.out.str();
  std::istringstream lines(text);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u);
  const std::string& header = rows[0];
  EXPECT_EQ(header.find("NAME"), 0u);
  EXPECT_EQ(rows[1].find("Old Editor"), 0u) << "largest first";
  // Columns line up: every row's size and date start where their headings do.
  for (std::size_t i = 1; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i]);
    for (const char* heading : {"SIZE", "LAST USED"}) {
      const auto at = header.find(heading);
      ASSERT_LT(at, rows[i].size());
      EXPECT_EQ(rows[i].substr(at - 2, 2), "  ");
      EXPECT_NE(rows[i][at], ' ');
    }
    const bool moved = rows[i].starts_with("Moved Game");
    EXPECT_EQ(rows[i].find("never") != std::string::npos, moved);
    EXPECT_EQ(rows[i].ends_with("Already relocated to NVMe. Use the Moved tab to bring it back."),
              moved);
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
  EXPECT_TRUE(moved["lastUsed"].is_null());
  EXPECT_NE(moved["lastUsedNote"].get<std::string>().find("has no record of this app"),
            std::string::npos);
  EXPECT_EQ(doc["location"], "moved");
  EXPECT_TRUE(doc["notes"].empty());
}

TEST(AppsCommand, SaysWhyATabOrOrderCannotBeFilled) {
  struct Case {
    const char* name;
    AppsOptions options;
    int exit;
    const char* out;  // a part of the output
  };
  const Case cases[] = {
      {"offloaded", {.location = "offloaded"}, 0, "No apps have been offloaded"},
      {"safety", {.sort = "safety"}, 0, "ordered by name instead"},
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
