#include "service/rules/free_space.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

TEST(FreeSpace, ACacheRuleAgeFloorIsNeverOverriddenByTheFallback) {
  ContextInTempHome home("");
  const fs::path nvme = home.home() / "Volumes/NVMe";
  std::ofstream(home.paths().config)
      << "NVMe=\"" << nvme.string() << "\"\n"
      << "RULES=(\"app_cache_clean | | | 60 |\")\nAPP_CACHE_PATHS=(\"$HOME/App\")\n"
      << "APP_CACHE_SAFE_DIRS=(\"Cache\")\n";
  fs::create_directories(nvme / "BRIM-Test-Mac");
  std::ofstream(nvme / "BRIM-Test-Mac/.hollin-managed") << "marker_version=1\n";
  home.fake().mountPoints.insert(nvme.string());
  const fs::path cache = home.home() / "App/Cache/fresh";
  fs::create_directories(cache.parent_path());
  std::ofstream(cache) << "recent cache";  // modified now: younger than 60 days
  ServiceContext& ctx = home.load();
  ASSERT_EQ(runService(ctx, {"free-space"}), 0);
  EXPECT_TRUE(fs::exists(cache));
  EXPECT_TRUE(
      has(readFile(home.paths().state / "last-free-space.txt").value_or(""), "caches_cleaned=0\n"));
}

// Given a configuration (and a drive, a pause, cloud folders), then the run
// decides its steps, how the cache step goes and which providers it walks.
TEST(FreeSpace, OutcomeRecordsEveryDecisionOfTheRun) {
  using Roots = std::vector<std::pair<std::string, bool>>;  // label, enabled
  struct Case {
    const char* name;
    std::string config;  // "{nvme}" stands for a mounted drive
    bool paused;
    bool cloudFolders;
    int exitCode;
    std::size_t steps;
    bool driveUsable;
    CacheStepOutcome cacheStep;
    Roots roots;
  };
  const std::string noDrive = "NVMe=\"/nonexistent/NVMe\"\n";
  const auto fallback = CacheStepOutcome::kFallbackRan;
  const Roots none, allowListed{{"iCloud Drive", false}, {"Dropbox", true}},
      every{{"iCloud Drive", true}, {"Dropbox", true}};
  const Case cases[] = {
      {"paused", noDrive, true, false, 1, 2, false, fallback, none},
      {"no drive", noDrive, false, false, 0, 2, false, fallback, none},
      {"cache rule with nothing old enough",
       "NVMe=\"{nvme}\"\nRULES=(\"app_cache_clean | | | 60 |\")\n", false, false, 0, 2, true,
       CacheStepOutcome::kRuleFoundNothing, none},
      {"allow-list names one provider", noDrive + "OPTIMISE_CLOUD_PROVIDERS=\"Dropbox\"\n", false,
       true, 0, 3, false, fallback, allowListed},
      {"legacy switch walks every provider", noDrive + "INCLUDE_CLOUD_EVICT=1\n", false, true, 0, 3,
       false, fallback, every},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ContextInTempHome home("");
    const fs::path nvme = home.home() / "Volumes/NVMe";
    std::string config = c.config;
    if (auto at = config.find("{nvme}"); at != std::string::npos) {
      config.replace(at, 6, nvme.string());
      fs::create_directories(nvme / "BRIM-Test-Mac");
      std::ofstream(nvme / "BRIM-Test-Mac/.hollin-managed") << "marker_version=1\n";
      home.fake().mountPoints.insert(nvme.string());
    }
    std::ofstream(home.paths().config) << config;
    if (c.paused) std::ofstream(home.paths().paused) << "";
    if (c.cloudFolders) {
      fs::create_directories(home.home() / "Library/Mobile Documents/com~apple~CloudDocs");
      fs::create_directories(home.home() / "Library/CloudStorage/Dropbox");
    }
    const FreeSpaceOutcome o = runFreeSpace(home.load(), [](const FreeSpaceOutcome&, auto) {});
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(o.paused, c.paused);
    if (c.paused) continue;
    EXPECT_EQ(o.steps, c.steps);
    EXPECT_EQ(o.driveUsable, c.driveUsable);
    EXPECT_EQ(o.cacheStep, c.cacheStep);
    std::vector<std::pair<std::string, bool>> roots;
    if (o.cloud) {
      for (const CloudRootVisit& root : o.cloud->roots)
        roots.emplace_back(root.label, root.enabled);
    }
    EXPECT_EQ(roots, c.roots);
  }
}

}  // namespace
}  // namespace brimvale::service
