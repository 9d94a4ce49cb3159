#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_job_fixture.h"
#include "service/drive_transfer/transfer_processes.h"

namespace brimvale::service {
namespace {

namespace fs = std::filesystem;
using TransferTickThroughLauncher = TransferJobFixture;

// What the job's pid file says about its supervisor.
enum class Recorded { kNothing, kRunning, kDead, kStranger };

// Given a job, a recorded supervisor and the drives present or not, then one
// tick launches a supervisor exactly when none of the job's runs and the job
// can go on, leaves the job in the expected phase and says why it waits or
// stopped; a job it leaves alone keeps its last error.
TEST_F(TransferTickThroughLauncher, LaunchesASupervisorOnlyWhenTheJobHasNone) {
  using P = TransferPhase;
  using R = Recorded;
  const std::string waiting = "Waiting for the drive to reconnect.";
  const std::string gaveUp =
      "The transfer kept failing and was stopped. Your current drive is unchanged.";
  struct Case {
    const char* name;
    P phase;
    int resumes;
    R recorded;
    bool drivesPresent;
    bool launches;
    P expectedPhase;
    std::string error;
  } cases[] = {
      {"copying, supervisor alive", P::kCopying, 0, R::kRunning, true, false, P::kCopying,
       "Paused."},
      {"copying, supervisor died", P::kCopying, 0, R::kDead, true, true, P::kCopying, ""},
      {"verifying, supervisor died", P::kVerifying, 1, R::kDead, true, true, P::kVerifying, ""},
      {"copying, pid reused by another program", P::kCopying, 0, R::kStranger, true, true,
       P::kCopying, ""},
      {"waiting, drives back", P::kWaitingForDrive, 5, R::kDead, true, true, P::kCopying, ""},
      {"waiting, drives away", P::kWaitingForDrive, 5, R::kDead, false, false, P::kWaitingForDrive,
       waiting},
      {"copying, drive left", P::kCopying, 0, R::kDead, false, false, P::kWaitingForDrive, waiting},
      {"nineteen resumes: one more", P::kWaitingForDrive, 19, R::kDead, true, true, P::kCopying,
       ""},
      {"twenty resumes: given up", P::kWaitingForDrive, 20, R::kDead, true, false, P::kFailed,
       gaveUp},
      {"paused", P::kPaused, 0, R::kDead, true, false, P::kPaused, "Paused."},
      {"copied", P::kCopied, 0, R::kDead, true, false, P::kCopied, "Paused."},
      {"failed", P::kFailed, 0, R::kDead, true, false, P::kFailed, "Paused."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    job(c.phase, c.resumes);
    ASSERT_TRUE(store().set({{"lastError", "Paused."}}));
    if (!c.drivesPresent) state_.mountPoints.clear();
    int recorded = 0;
    switch (c.recorded) {
      case Recorded::kNothing: break;
      case Recorded::kRunning: recorded = processes().start(kServiceProgram); break;
      case Recorded::kDead:
        recorded = processes().start(kServiceProgram);
        processes().end(recorded);
        break;
      case Recorded::kStranger: recorded = processes().start("/usr/bin/python3"); break;
    }
    if (recorded != 0) record(files().supervisorPid, recorded);

    transferTick(*ctx_, kServiceProgram);

    ASSERT_EQ(processes().launches.size(), c.launches ? 1u : 0u);
    EXPECT_EQ(store().currentPhase(), c.expectedPhase);
    EXPECT_EQ(store().get("resumeCount"), std::to_string(c.resumes + (c.launches ? 1 : 0)));
    EXPECT_EQ(store().get("lastError"), c.error);
    const bool givenUp = c.expectedPhase == TransferPhase::kFailed && c.phase != c.expectedPhase;
    EXPECT_EQ(fs::exists(files().lock), !givenUp) << "only a job given up frees the lock";
    if (c.launches) {
      EXPECT_EQ(readFile(files().supervisorPid).value_or(""),
                std::to_string(processes().launches[0].pid) + "\n");
      EXPECT_NE(
          out_.str().find("Resuming transfer (attempt " + std::to_string(c.resumes + 1) + ")."),
          std::string::npos);
    }
  }
}

// Given the supervisor lock held by a process no pid file names (a
// supervisor started another way, or its copy outliving it), then the lock
// alone keeps the tick from launching a second one.
TEST_F(TransferTickThroughLauncher, TheSupervisorLockAloneMeansASupervisorRuns) {
  job(TransferPhase::kCopying);
  const int held = open(files().supervisorLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  transferTick(*ctx_, kServiceProgram);
  EXPECT_TRUE(processes().launches.empty());
  close(held);
  transferTick(*ctx_, kServiceProgram);
  EXPECT_EQ(processes().launches.size(), 1u);
}

}  // namespace
}  // namespace brimvale::service
