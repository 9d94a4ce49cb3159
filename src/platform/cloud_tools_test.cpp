#include "platform/cloud_tools.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

TEST(CloudTools, RecognisesTheEvictSubcommandInUsageText) {
  struct Case {
    const char* usage;
    bool advertised;
  };
  const Case cases[] = {
      {"usage: brctl <command>\n  log\n  evict\n  download\n", true},
      {"\t evict\r\n", true},
      {"  evict <path>  drop the local copy\n", false},
      {"  evicted\n", false},
      {"commands: download, evict\n", false},
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

}  // namespace
}  // namespace brimvale::platform
