#include "service/rules/free_space.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"
#include "testing/test_file.h"

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
  EXPECT_TRUE(has(home.out().str(),
                  "  (Step 1's app_cache_clean rule honoured the age floor — nothing eligible. "
                  "Skipping fallback to preserve your settings.)\n"));
  const std::string result = readFile(home.paths().state / "last-free-space.txt").value_or("");
  EXPECT_TRUE(has(result, "user_has_cache_rule=1\n"));
  EXPECT_TRUE(has(result, "caches_cleaned=0\n"));
  EXPECT_TRUE(has(readFile(home.paths().lastAutoRun).value_or(""), " (free-space)\n"));
}

TEST(FreeSpace, FallbackCleansCachesAndHintsAppearPastTheirThresholds) {
  ContextInTempHome home("");
  std::ofstream(home.paths().config)
      << "NVMe=\"/nonexistent/NVMe\"\nAPP_CACHE_PATHS=(\"$HOME/App\")\n"
      << "APP_CACHE_SAFE_DIRS=(\"Cache\")\nINCLUDE_CLOUD_EVICT=1\n";
  fs::create_directories(home.home() / "App/Cache");
  std::ofstream(home.home() / "App/Cache/a") << "a";
  std::ofstream(home.home() / "App/Cache/b") << "b";
  testing::settle(home.home() / "App/Cache");
  home.fake().localSnapshotCount = 5;
  ServiceContext& ctx = home.load();
  ASSERT_EQ(runService(ctx, {"free-space"}), 0);
  const std::string out = home.out().str();
  EXPECT_FALSE(fs::exists(home.home() / "App/Cache/a"));
  EXPECT_TRUE(
      has(out, "  App caches cleaned: 2\n  Cloud files evicted locally: 0  (≈ 0 MB freed)\n"))
      << out;
  EXPECT_TRUE(has(out,
                  "\nStep 3/3 — Optimising cloud storage locally\n"
                  "  Providers enabled: (all detected — legacy INCLUDE_CLOUD_EVICT=1)\n"
                  "  No cloud storage providers detected — skipping.\n"));
  EXPECT_FALSE(has(out, "Nothing to do"));
  // Given snapshots the platform cannot manage, the hint says so instead of
  // suggesting a tool this system lacks.
  EXPECT_TRUE(has(out,
                  "\nWant more space? A few places Brimvale can't reach automatically:\n"
                  "  • Local snapshots aren't available on this computer, so none were counted "
                  "or thinned.\n"))
      << out;
  EXPECT_FALSE(has(out, "tmutil")) << out;
  EXPECT_TRUE(has(readFile(home.paths().state / "last-free-space.txt").value_or(""),
                  "include_cloud_evict=1\n"));
}

struct FreeSpaceRun {
  FreeSpaceOutcome outcome;
  std::vector<FreeSpaceMoment> moments;
};

FreeSpaceRun runQuietly(ServiceContext& ctx) {
  FreeSpaceRun run;
  run.outcome = runFreeSpace(
      ctx, [&run](const FreeSpaceOutcome&, FreeSpaceMoment m) { run.moments.push_back(m); });
  return run;
}

// Given a configuration (and a drive, a pause, cloud folders), then the run
// decides its steps, how the cache step goes and which providers it walks,
// and says so at the moments the text needs, in order.
TEST(FreeSpace, OutcomeRecordsEveryDecisionOfTheRun) {
  using M = FreeSpaceMoment;
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
    std::vector<M> moments;
  };
  const std::string noDrive = "NVMe=\"/nonexistent/NVMe\"\n";
  const auto fallback = CacheStepOutcome::kFallbackRan;
  const Roots none, allowListed{{"iCloud Drive", false}, {"Dropbox", true}},
      every{{"iCloud Drive", true}, {"Dropbox", true}};
  const std::vector<M> pausedRun{M::kStarted, M::kPaused};
  const std::vector<M> noDriveRun{M::kStarted, M::kRelocationStarted, M::kRelocationSkipped,
                                  M::kCacheStepStarted, M::kFinished};
  const std::vector<M> driveRun{M::kStarted, M::kRelocationStarted, M::kCacheStepStarted,
                                M::kFinished};
  const std::vector<M> cloudRun{M::kStarted,          M::kRelocationStarted, M::kRelocationSkipped,
                                M::kCacheStepStarted, M::kCloudStepStarted,  M::kCloudRootReached,
                                M::kCloudRootReached, M::kCloudStepEnded,    M::kFinished};
  const Case cases[] = {
      {"paused", noDrive, true, false, 1, 2, false, fallback, none, pausedRun},
      {"no drive", noDrive, false, false, 0, 2, false, fallback, none, noDriveRun},
      {"cache rule with nothing old enough",
       "NVMe=\"{nvme}\"\nRULES=(\"app_cache_clean | | | 60 |\")\n", false, false, 0, 2, true,
       CacheStepOutcome::kRuleFoundNothing, none, driveRun},
      {"allow-list names one provider", noDrive + "OPTIMISE_CLOUD_PROVIDERS=\"Dropbox\"\n", false,
       true, 0, 3, false, fallback, allowListed, cloudRun},
      {"legacy switch walks every provider", noDrive + "INCLUDE_CLOUD_EVICT=1\n", false, true, 0, 3,
       false, fallback, every, cloudRun},
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
    const FreeSpaceRun run = runQuietly(home.load());
    const FreeSpaceOutcome& o = run.outcome;
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(o.paused, c.paused);
    if (c.paused) {
      EXPECT_EQ(run.moments, c.moments);
      continue;
    }
    EXPECT_EQ(o.steps, c.steps);
    EXPECT_EQ(o.driveUsable, c.driveUsable);
    EXPECT_EQ(o.cacheStep, c.cacheStep);
    EXPECT_EQ(o.cloud.has_value(), c.steps == 3);
    std::vector<std::pair<std::string, bool>> roots;
    if (o.cloud) {
      for (const CloudRootVisit& root : o.cloud->roots)
        roots.emplace_back(root.label, root.enabled);
    }
    EXPECT_EQ(roots, c.roots);
    EXPECT_EQ(run.moments, c.moments);
    EXPECT_EQ(o.startedAt, ts(ContextInTempHome::kNow));
    EXPECT_EQ(o.beforeGb, 100);
  }
}

}  // namespace
}  // namespace brimvale::service
