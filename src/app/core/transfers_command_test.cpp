#include "app/core/transfers_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "cloud/job_runs.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using cloud::JobMode;
using cloud::JobState;
using cloud::SyncJob;

TEST(TransfersWords, ModesAsTheCommandLineSpellsThem) {
  const std::pair<const char*, std::optional<JobMode>> cases[] = {
      {"copy", JobMode::kCopy},     {"move", JobMode::kMove},       {"sync", JobMode::kSyncOneWay},
      {"bisync", JobMode::kBisync}, {"sync_one_way", std::nullopt}, {"mirror", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [word, mode] : cases) {
    SCOPED_TRACE(word);
    EXPECT_EQ(jobModeFromWord(word), mode);
  }
}

TEST(TransfersProgressLine, ShowsBytesFilesSpeedTimeAndFile) {
  struct Case {
    const char* name;
    cloud::JobProgress progress;
    std::string line;
  };
  const Case cases[] = {
      {"half way",
       {.bytesTransferred = 5'000'000,
        .bytesTotal = 10'000'000,
        .filesTransferred = 1,
        .filesTotal = 4,
        .speedBytesPerSec = 1'000'000,
        .etaSeconds = 5,
        .currentFile = "a/b.jpg"},
       "[##########----------] 50% · 5 MB of 10 MB · 1 of 4 files · 1 MB/s · about 5 s left · "
       "a/b.jpg"},
      {"still counting",
       {.bytesTransferred = 0, .filesTransferred = 0},
       "[--------------------] 0% · Zero KB · 0 files"},
      {"one file with errors",
       {.bytesTransferred = 2000,
        .bytesTotal = 1000,
        .filesTransferred = 1,
        .filesTotal = 1,
        .errors = 2},
       "[####################] 100% · 2 KB of 1 KB · 1 of 1 file · 2 errors"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(transferProgressLine(c.progress), c.line);
  }
}

struct Cli {
  brimvale::testing::TempFolder temp{"bv-transfers"};
  std::ostringstream out, err;
  TransfersCommandContext context{.jobsFile = temp / "sync" / "jobs.json",
                                  .stateDir = temp / "state",
                                  .rclone = findExecutable("rclone"),
                                  .out = out,
                                  .err = err};
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
      {"DDDD", 1, std::nullopt},          // no such job
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

TEST(TransfersNew, RunsInTheForegroundAndShowsUpInTheLists) {
  Cli cli;
  cli.temp.file("src/a.txt", "hello");
  cli.temp.file("src/sub/b.txt", "world!");
  cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(cli.temp / "state"),
                           cloud::composeFingerprint("machine", 1'600'000'000), std::nullopt);
  cli.context.pairs = &pairs;
  TransfersOptions options{.action = "new",
                           .words = {(cli.temp / "src").string(), (cli.temp / "dst").string()},
                           .mode = "sync"};
  ASSERT_EQ(cli.run(options), 0) << cli.err.str();
  EXPECT_EQ(readFile(cli.temp / "dst" / "sub" / "b.txt").value_or(""), "world!");
  EXPECT_NE(cli.out.str().find("Finished a cloud transfer of "), std::string::npos)
      << cli.out.str();

  ASSERT_EQ(cli.saved().size(), 1u);
  EXPECT_EQ(cli.saved()[0].state, JobState::kCompleted);
  EXPECT_EQ(cli.saved()[0].mode, JobMode::kSyncOneWay);

  ASSERT_EQ(cli.run({.action = "history"}), 0);
  EXPECT_NE(cli.out.str().find("Completed  sync"), std::string::npos) << cli.out.str();
  ASSERT_EQ(cli.run({.action = "list", .json = true}), 0);
  const auto list = nlohmann::json::parse(cli.out.str());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["mode"], "sync_one_way");
  EXPECT_EQ(list[0]["state"], "completed");

  // The pair is remembered once however often it is used, as a sync.
  ASSERT_EQ(cli.run(options), 0) << cli.err.str();
  std::ostringstream shown, problems;
  ASSERT_EQ(pairsCommand(pairs, shown, problems, true), 0) << problems.str();
  const auto listed = nlohmann::json::parse(shown.str());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["kind"], "sync");
  EXPECT_EQ(listed[0]["rightPath"], (cli.temp / "dst").string());
}

TEST(TransfersPairs, KindOfEachMode) {
  const std::pair<JobMode, cloud::PairKind> cases[] = {
      {JobMode::kCopy, cloud::PairKind::kCopy},
      {JobMode::kMove, cloud::PairKind::kMove},
      {JobMode::kSyncOneWay, cloud::PairKind::kSync},
      {JobMode::kBisync, cloud::PairKind::kSync},
  };
  for (const auto& [mode, kind] : cases) {
    SCOPED_TRACE(std::string(cloud::jobModeName(mode)));
    EXPECT_EQ(pairKindOf(mode), kind);
  }
}

TEST(TransfersNew, RefusedRequestsStartNothing) {
  struct Case {
    const char* name;
    TransfersOptions options;
    int status;
  };
  const Case cases[] = {
      {"one side only", {.action = "new", .words = {"/a"}}, 2},
      {"unknown mode", {.action = "new", .words = {"/a", "/b"}, .mode = "mirror"}, 2},
      {"json with new", {.action = "new", .words = {"/a", "/b"}, .json = true}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Cli cli;
    EXPECT_EQ(cli.run(c.options), c.status);
    EXPECT_NE(cli.err.str().find("Nothing was"), std::string::npos) << cli.err.str();
    EXPECT_FALSE(fs::exists(cli.context.jobsFile));
  }
}

TEST(TransfersNew, AJobForTheAbsentDriveIsSavedWaiting) {
  Cli cli;
  cli.context.drive = {.mountPath = (cli.temp / "fast").string(), .mounted = false};
  cli.temp.file("src/a.txt");
  ASSERT_EQ(cli.run({.action = "new",
                     .words = {(cli.temp / "src").string(), (cli.temp / "fast" / "x").string()}}),
            0);
  EXPECT_EQ(cli.saved().at(0).state, JobState::kWaitingForDrive);
  EXPECT_FALSE(fs::exists(cli.temp / "fast"));
}

}  // namespace
}  // namespace brimvale::app

namespace brimvale::app {
namespace {

// Given a transfer running in one command (here on another thread), a second
// command pauses it (its rclone is suspended), resumes it (the first command
// continues it) and watches it to the end with a progress line; every file
// arrives whole.
TEST(TransfersControl, PauseResumeAndWatchATransferRunElsewhere) {
  Cli runner;
  for (int i = 0; i < 3; ++i)
    runner.temp.file("src/f" + std::to_string(i), std::string(200'000, 'x'));
  const TransfersOptions copy{
      .action = "new",
      .words = {(runner.temp / "src").string(), (runner.temp / "dst").string()},
      .bandwidthLimit = "100k"};
  std::ostringstream runnerOut, runnerErr;
  TransfersCommandContext elsewhere{.jobsFile = runner.context.jobsFile,
                                    .stateDir = runner.context.stateDir,
                                    .rclone = runner.context.rclone,
                                    .out = runnerOut,
                                    .err = runnerErr};
  int runnerStatus = -1;
  std::thread running([&] { runnerStatus = transfersCommand(elsewhere, copy); });
  const auto runs = cloud::JobRunFiles::besideJobList(runner.context.jobsFile);
  const auto rclonePid = [&]() -> int {
    auto jobs = cloud::JobListFile(runner.context.jobsFile).load();
    if (!jobs || jobs->empty()) return -1;
    auto run = runs.liveRun(jobs->front().id);
    return run ? run->rclonePid : -1;
  };
  for (int i = 0; i < 200 && rclonePid() <= 0; ++i) usleep(50'000);
  const int firstPid = rclonePid();
  ASSERT_GT(firstPid, 0);
  const std::string id = runner.saved().at(0).id.substr(0, 8);

  EXPECT_EQ(runner.run({.action = "pause", .words = {id}}), 0) << runner.err.str();
  EXPECT_TRUE(runner.out.str().starts_with("Paused " + id)) << runner.out.str();
  EXPECT_EQ(runner.saved().at(0).state, JobState::kPaused);
  EXPECT_TRUE(cloud::processSuspended(firstPid));
  EXPECT_EQ(runner.run({.action = "pause", .words = {id}}), 1)
      << "a paused job is not paused again";

  EXPECT_EQ(runner.run({.action = "resume", .words = {id}}), 0) << runner.err.str();
  EXPECT_TRUE(runner.out.str().starts_with("Resumed " + id)) << runner.out.str();

  EXPECT_EQ(runner.run({.action = "watch", .words = {id}}), 0) << runner.err.str();
  const std::string watched = runner.out.str();
  EXPECT_NE(watched.find(" files"), std::string::npos) << watched;
  EXPECT_NE(watched.find("Completed"), std::string::npos) << watched;
  running.join();
  EXPECT_EQ(runnerStatus, 0) << runnerErr.str();
  EXPECT_NE(runnerOut.str().find("Paused from another window."), std::string::npos)
      << runnerOut.str();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(readFile(runner.temp / "dst" / ("f" + std::to_string(i))).value_or("") ==
                std::string(200'000, 'x'))
        << i;
  }
}

}  // namespace
}  // namespace brimvale::app
