#include "app/core/transfers_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
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

// A mistyped source starts nothing and saves nothing; a dry run lists what it
// would copy and copies nothing; only a transfer that ran becomes a recent pair.
TEST(TransfersNew, ChecksTheSourceListsADryRunAndKeepsOnlyPairsThatRan) {
  struct Case {
    std::string what;
    std::string source;  // below the test folder; "here:" names a local-type remote
    std::string destination;
    bool dryRun;
    int status;
    std::string shown;  // in standard output or error
    bool saved;
    std::string schedule = "";
  } cases[] = {
      {"missing folder", "missing", "dst", false, 1, "does not exist, so nothing was changed.",
       false},
      {"missing on a remote", "here:missing", "dst", false, 1, "could not be found", false},
      {"nothing listens", "src", "far:dst", false, 1, "far could not be reached", false},
      {"dry run", "src", "dst", true, 0, "Would copy 2 files (9 bytes):\n  a.txt (3 bytes)\n",
       true},
      {"copy", "src", "dst", false, 0, "", true},
      {"scheduled copy", "src", "dst", false, 0, "It runs again by itself: Every day at 03:00",
       true, "daily 03:00"},
      {"bad schedule", "src", "dst", false, 2, "The time must be HH:MM", false, "daily 3pm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Cli cli;
    std::ofstream(cli.temp / "rclone.conf")
        << "[here]\ntype = local\n[far]\ntype = sftp\nhost = 127.0.0.1\nport = 1\nuser = x\n";
    std::filesystem::create_directories(cli.temp / "src");
    std::ofstream(cli.temp / "src" / "a.txt") << "hi\n";
    std::ofstream(cli.temp / "src" / "b.txt") << "hello\n";
    cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(cli.temp / "state"),
                             cloud::composeFingerprint("machine", 1'600'000'000), std::nullopt);
    cli.context.pairs = &pairs;
    const std::string source = c.source.starts_with("here:")
                                   ? "here:" + (cli.temp / c.source.substr(5)).string()
                                   : (cli.temp / c.source).string();
    const std::string destination =
        c.destination.starts_with("far:") ? c.destination : (cli.temp / c.destination).string();
    EXPECT_EQ(cli.run({.action = "new",
                       .words = {source, destination},
                       .dryRun = c.dryRun,
                       .transfers = 3,
                       .checkers = 5,
                       .schedule = c.schedule}),
              c.status);
    EXPECT_NE((cli.out.str() + cli.err.str()).find(c.shown), std::string::npos)
        << cli.out.str() << cli.err.str();
    EXPECT_EQ(cli.saved().size(), c.saved ? 1u : 0u);
    if (c.saved) {
      EXPECT_EQ(cli.saved().front().transfers, 3);
      EXPECT_EQ(cli.saved().front().checkers, 5);
      EXPECT_EQ(cli.saved().front().schedule.has_value(), !c.schedule.empty());
    }
    EXPECT_EQ(pairs.load()->size(), c.saved ? 1u : 0u);
    EXPECT_EQ(std::filesystem::exists(cli.temp / "dst" / "a.txt"), c.saved && !c.dryRun);
  }
}

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
    bool allWaiting = false;  // --waiting-for-drive instead of an id
  };
  const Case cases[] = {
      {"aaaa1", 0, JobState::kCanceled},  // any case, unique prefix
      {"AAAA", 1, JobState::kQueued},     // two jobs match: nothing changes
      {"BBBB", 1, std::nullopt},          // already completed
      {"CCCC", 0, std::nullopt},          // waiting for the drive
      {"", 0, JobState::kQueued, true},   // every one waiting for the drive, no other
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    Cli cli;
    ASSERT_TRUE(
        cloud::JobListFile(cli.context.jobsFile)
            .save({jobWith("AAAA1111", JobState::kQueued), jobWith("AAAA2222", JobState::kPaused),
                   jobWith("BBBB1111", JobState::kCompleted),
                   jobWith("CCCC1111", JobState::kWaitingForDrive)}));
    const auto words =
        c.allWaiting ? std::vector<std::string>{} : std::vector<std::string>{c.prefix};
    EXPECT_EQ(cli.run({.action = "cancel", .words = words, .waitingForDrive = c.allWaiting}),
              c.status)
        << cli.err.str();
    const auto jobs = cli.saved();
    if (c.firstAfter) {
      EXPECT_EQ(jobs[0].state, *c.firstAfter);
    }
    EXPECT_EQ(jobs[2].state, JobState::kCompleted);
    if (std::string(c.prefix) == "CCCC" || c.allWaiting) {
      EXPECT_EQ(jobs[3].state, JobState::kCanceled);
      EXPECT_EQ(jobs[3].errorMessage, std::string(cloud::kCancelledWhileWaiting));
    }
  }
}

// Finished transfers leave the list, except a scheduled one that later runs are copied from.
TEST(TransfersClear, KeepsWhatIsNotFinishedAndScheduledTemplates) {
  Cli cli;
  SyncJob scheduled = jobWith("DDDD1111", JobState::kCompleted);
  scheduled.schedule = cloud::scheduleToJson({.kind = cloud::ScheduleKind::kDaily, .hour = 3});
  ASSERT_TRUE(
      cloud::JobListFile(cli.context.jobsFile)
          .save({jobWith("AAAA1111", JobState::kPaused), jobWith("BBBB1111", JobState::kCompleted),
                 jobWith("CCCC1111", JobState::kFailed), scheduled}));
  ASSERT_EQ(cli.run({.action = "clear"}), 0) << cli.err.str();
  EXPECT_EQ(cli.out.str().rfind("Removed 2 finished transfers from the list.", 0), 0u);
  std::vector<std::string> left;
  for (const auto& job : cli.saved()) left.push_back(job.id);
  EXPECT_EQ(left, (std::vector<std::string>{"AAAA1111", "DDDD1111"}));
}

}  // namespace
}  // namespace brimvale::app
