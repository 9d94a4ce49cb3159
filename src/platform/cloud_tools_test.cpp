#include "platform/cloud_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace brimvale::platform {
namespace {

TEST(CloudTools, RecognisesTheEvictSubcommandInUsageText) {
  struct Case {
    const char* usage;
    bool advertised;
  };
  const Case cases[] = {
      {"usage: brctl <command>\n  log\n  evict\n  download\n", true},
      {"evict\n", true},
      {"\t evict\r\n", true},
      {"  evict <path>  drop the local copy\n", false},
      {"  evicted\n", false},
      {"commands: download, evict\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usage);
    EXPECT_EQ(usageAdvertisesEvict(c.usage), c.advertised);
  }
}

TEST(CloudTools, CountsOnlyTimeMachineSnapshotLines) {
  const char* listing =
      "Snapshots for disk /:\n"
      "com.apple.TimeMachine.2026-12-01-101010.local\n"
      "com.apple.os.update-ABC\n"
      "com.apple.TimeMachine.2026-12-02-101010.local\n";
  EXPECT_EQ(countTimeMachineSnapshots(listing), 2u);
  EXPECT_EQ(countTimeMachineSnapshots(""), 0u);
}

TEST(CloudTools, MissingToolsEvictNothingAndCountNoSnapshots) {
  unsetenv("EVICT_BRCTL_SUPPORTED");
  auto eviction = makeToolCloudEviction({"/nonexistent/brctl", "/nonexistent/fpctl", ""});
  EXPECT_FALSE(eviction->installed(EvictionTool::kBrctl));
  EXPECT_FALSE(eviction->supportsEvict(EvictionTool::kBrctl));
  EXPECT_FALSE(eviction->evict(EvictionTool::kBrctl, "/tmp/x"));
  EXPECT_EQ(makeToolLocalSnapshots("/nonexistent/tmutil")->count(), 0u);
}

TEST(CloudTools, ProbesTheStandInOnceAndHonoursThePreset) {
  const std::string tool = std::string(BRIMVALE_STANDINS_DIR) + "/eviction_tool";
  unsetenv("EVICT_FPCTL_SUPPORTED");
  auto probed = makeToolCloudEviction({"/nonexistent/brctl", tool, ""});
  EXPECT_TRUE(probed->supportsEvict(EvictionTool::kFileProviderCtl));
  EXPECT_TRUE(probed->evict(EvictionTool::kFileProviderCtl, "/tmp/keep-ok"));
  EXPECT_FALSE(probed->evict(EvictionTool::kFileProviderCtl, "/tmp/refused"));

  setenv("EVICT_FPCTL_SUPPORTED", "no", 1);
  auto preset = makeToolCloudEviction({"/nonexistent/brctl", tool, ""});
  EXPECT_FALSE(preset->supportsEvict(EvictionTool::kFileProviderCtl));
  EXPECT_FALSE(preset->evict(EvictionTool::kFileProviderCtl, "/tmp/keep-ok"));
  unsetenv("EVICT_FPCTL_SUPPORTED");
}

}  // namespace
}  // namespace brimvale::platform
