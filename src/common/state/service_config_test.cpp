#include "common/state/service_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "common/base/file_io.h"
#include "testing/temp_home.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

constexpr std::string_view kName = "BRIM-Ada";
// A Mac assumes its drive at /Volumes/NVMe; Linux assumes none until one is chosen.
#if defined(__APPLE__)
constexpr std::string_view kDefaultDrive = "/Volumes/NVMe";
#else
constexpr std::string_view kDefaultDrive = "";
#endif
const fs::path kDefaultBase = kDefaultDrive.empty() ? fs::path() : fs::path(kDefaultDrive) / kName;
const std::string kDrive = "NVMe=/Volumes/NVMe\n";

using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;

ServiceConfig configFrom(std::string_view text) {
  return ServiceConfig::fromValues(parseConfig(text, "/home/ada"), kName);
}

TEST(ServiceConfig, ServiceDefaultFillsMissingEmptyAndNonNumericValues) {
  ServiceConfig config = configFrom(
      "LOW_SPACE_WARN_GB=\nLOW_SPACE_CRITICAL_GB=''\nWATCH_INTERVAL_SECS=soon\n"
      "HISTORY_MAX_DAYS=\" 90\"\nSMART_MIN_BATTERY=-5\nMIN_READ_MBPS=()\nAUTO_RELOCATE_HOUR=4\n"
      "UNKNOWN_KEY=1\n");
  EXPECT_EQ(config.getInt("LOW_SPACE_WARN_GB"), 40);
  EXPECT_EQ(config.get("WATCH_INTERVAL_SECS"), "soon");
  EXPECT_EQ(config.getInt("WATCH_INTERVAL_SECS"), 30);
  EXPECT_EQ(config.getInt("SMART_MIN_BATTERY"), -5);
  EXPECT_EQ(config.getInt("MIN_READ_MBPS"), 40);
  EXPECT_EQ(config.getInt("AUTO_RELOCATE_HOUR"), 4);
  EXPECT_EQ(config.get("UNKNOWN_KEY"), "");
  EXPECT_EQ(config.getInt("QUIET_MODE"), 0);
  EXPECT_TRUE(config.flag("SMART_RESPECT_MEETINGS"));
  EXPECT_FALSE(config.flag("ENABLE_AUTO_ACTIONS"));
}

TEST(ServiceConfig, ArraysCountOnlyNonEmptyElements) {
  struct Case {
    std::string text;
    std::size_t rules;
  };
  const std::vector<Case> cases = {
      {"", 0},
      {"RULES=(\"\")", 0},
      {"RULES=(\"\" \"archive ~/Movies 30\")", 1},
      {"RULES=\"archive ~/Movies 30\"", 1},
      {"RULES=(\n  \"a\"\n  \"b\"\n)\nRULES=(\"c\")", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(configFrom(c.text).ruleCount(), c.rules);
  }
  EXPECT_EQ(configFrom("APP_CACHE_SAFE_DIRS=(\"Cache\" \"GPUCache\")").array("APP_CACHE_SAFE_DIRS"),
            (std::vector<std::string>{"Cache", "GPUCache"}));
}

TEST(ServiceConfig, BaseIsPinnedOnlyToAMarkedAbsoluteFolder) {
  TempHome home(StateFolder::kCreated);
  fs::path marked = home.path() / "marked folder";
  fs::path unmarked = home.path() / "unmarked";
  fs::create_directories(marked);
  fs::create_directories(unmarked);
  std::ofstream(marked / kMarkerFileName) << "version=1\n";
  // A relative BASE must not be resolved against wherever the service was started.
  fs::path startedIn = fs::current_path();
  fs::current_path(home.path());

  struct Case {
    std::string config;
    fs::path base;
  };
  const std::vector<Case> cases = {
      {"", kDefaultBase},
      {"NVMe=\nBASE=\"" + marked.string() + "\"", kDefaultDrive.empty() ? "" : marked},
      {"NVMe=/Volumes/Fast/", "/Volumes/Fast/BRIM-Ada"},
      {kDrive + "BASE=\"" + marked.string() + "\"", marked},
      {kDrive + "BASE=\"$HOME/marked folder\"", marked},
      {kDrive + "BASE=" + unmarked.string(), "/Volumes/NVMe/BRIM-Ada"},
      {kDrive + "BASE=\"marked folder\"", "/Volumes/NVMe/BRIM-Ada"},
      {kDrive + "BASE=" + (home.path() / "missing").string(), "/Volumes/NVMe/BRIM-Ada"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    home.writeConfig(c.config);
    Result<ServiceConfig> config = loadServiceConfig(home.paths(), kName);
    ASSERT_TRUE(config) << config.error().message();
    EXPECT_EQ(config->base(), c.base);
    EXPECT_EQ(config->get("BASE"), c.base.string());
  }
  fs::current_path(startedIn);

  // The mount table knows a drive only without the trailing slash.
  home.writeConfig("export NVMe=\"/Volumes/Fast//\"");
  Result<ServiceConfig> slashed = loadServiceConfig(home.paths(), kName);
  ASSERT_TRUE(slashed);
  EXPECT_EQ(slashed->nvme(), "/Volumes/Fast");
}

// Given the file a fresh installation writes, then every key in it is one
// the service reads, and no key is listed twice (the later row would never
// be found).
TEST(ServiceConfig, TemplateWritesOnlyKnownKeysAndNoKeyIsListedTwice) {
  ServiceConfig config = configFrom(configTemplate());
  EXPECT_EQ(config.nvme(), kDefaultDrive);
  EXPECT_EQ(config.hasDrive(), !kDefaultDrive.empty());
  EXPECT_EQ(config.get("QUIET_HOURS_BLOCKED"), "9-19");
  std::set<std::string_view> known;
  for (const ConfigKey& key : configKeys()) {
    SCOPED_TRACE(key.name);
    EXPECT_TRUE(known.insert(key.name).second);
  }
  for (const auto& [name, value] : parseConfig(configTemplate(), "/home/ada")) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(known.contains(name));
  }
}

}  // namespace
}  // namespace brimvale
