#include "app/core/service_command.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
using brimvale::testing::TempFolder;

TEST(ServiceCommand, RunsTheInstalledServiceWithRsyncAndALimit) {
  TempFolder dir;
  const StatePaths paths = StatePaths::forHome(dir.path());
  dir.file(
      ".brimvale/brim-vale",
      "#!/bin/sh\necho \"RSYNC=$RSYNC args=$*\"\n[ \"$1\" = hang ] && exec sleep 30\nexit 3\n");
  std::filesystem::permissions(paths.serviceProgram, std::filesystem::perms::owner_all);
  ProcessResult r = runServiceCommand(runProcess, paths, "/opt/rsync 3/rsync",
                                      {"free-space", "two words"}, std::chrono::seconds(30));
  EXPECT_EQ(r.out, "RSYNC=/opt/rsync 3/rsync args=free-space two words\n");
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(runServiceCommand(runProcess, paths, "", {"hang"}, std::chrono::seconds(1)).outcome,
            ProcessOutcome::kTimedOut);
}

}  // namespace
}  // namespace brimvale::app
