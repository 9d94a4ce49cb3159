#include "app/core/transfers_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
using cloud::JobMode;
using cloud::JobState;
using cloud::SyncJob;

struct Cli {
  brimvale::testing::TempFolder temp{"bv-transfers"};
  std::ostringstream out, err;
  TransfersCommandContext context{.jobsFile = temp / "sync" / "jobs.json",
                                  .stateDir = temp / "state",
                                  .rclone = findExecutable("rclone"),
                                  .out = out,
                                  .err = err,
                                  .runner = runProcess};
  Cli() {
    // rclone reads and writes only this test's own configuration.
    setenv("RCLONE_CONFIG", (temp / "rclone.conf").c_str(), 1);
    setenv("RCLONE_CACHE_DIR", (temp / "cache").c_str(), 1);
  }
  int run(TransfersOptions options) {
    out.str("");
    err.str("");
    return transfersCommand(context, options);
  }
  std::vector<SyncJob> saved() { return *cloud::JobListFile(context.jobsFile).load(); }
};

SyncJob jobWith(std::string id, JobState state) {
  SyncJob job = cloud::newSyncJob("/src", "remote:dst", JobMode::kCopy, 1'780'000'000);
  job.id = std::move(id);
  job.state = state;
  return job;
}

TEST(TransfersCancel, ByIdPrefixOnlyWhileTheJobHasNotEnded) {
  struct Case {
    const char* prefix;
    int status;
    std::optional<JobState> firstAfter;
  };
  const Case cases[] = {
      {"aaaa1", 0, JobState::kCanceled},  // any case, unique prefix
      {"AAAA", 1, JobState::kQueued},     // two jobs match: nothing changes
      {"BBBB", 1, std::nullopt},          // already completed
      {"CCCC", 0, std::nullopt},          // waiting for the drive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    Cli cli;
    ASSERT_TRUE(
        cloud::JobListFile(cli.context.jobsFile)
            .save({jobWith("AAAA1111", JobState::kQueued), jobWith("AAAA2222", JobState::kPaused),
                   jobWith("BBBB1111", JobState::kCompleted),
                   jobWith("CCCC1111", JobState::kWaitingForDrive)}));
    EXPECT_EQ(cli.run({.action = "cancel", .words = {c.prefix}}), c.status) << cli.err.str();
    const auto jobs = cli.saved();
    if (c.firstAfter) {
      EXPECT_EQ(jobs[0].state, *c.firstAfter);
    }
    EXPECT_EQ(jobs[2].state, JobState::kCompleted);
    if (std::string(c.prefix) == "CCCC") {
      EXPECT_EQ(jobs[3].state, JobState::kCanceled);
      EXPECT_EQ(jobs[3].errorMessage, std::string(cloud::kCancelledWhileWaiting));
    }
  }
}

}  // namespace
}  // namespace brimvale::app
