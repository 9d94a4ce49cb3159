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
      {"verifying, supervisor alive", P::kVerifying, 0, R::kRunning, true, false, P::kVerifying,
       "Paused."},
      {"copying, supervisor died", P::kCopying, 0, R::kDead, true, true, P::kCopying, ""},
      {"verifying, supervisor died", P::kVerifying, 1, R::kDead, true, true, P::kVerifying, ""},
      {"copying, pid reused by another program", P::kCopying, 0, R::kStranger, true, true,
       P::kCopying, ""},
      {"copying, nothing recorded", P::kCopying, 0, R::kNothing, true, true, P::kCopying, ""},
      {"waiting, drives back", P::kWaitingForDrive, 5, R::kDead, true, true, P::kCopying, ""},
      {"waiting, drives away", P::kWaitingForDrive, 5, R::kDead, false, false, P::kWaitingForDrive,
       waiting},
      {"copying, drive left", P::kCopying, 0, R::kDead, false, false, P::kWaitingForDrive, waiting},
      {"verifying, drive left", P::kVerifying, 1, R::kDead, false, false, P::kWaitingForDrive,
       waiting},
      {"nineteen resumes: one more", P::kWaitingForDrive, 19, R::kDead, true, true, P::kCopying,
       ""},
      {"twenty resumes: given up", P::kWaitingForDrive, 20, R::kDead, true, false, P::kFailed,
       gaveUp},
      {"paused", P::kPaused, 0, R::kDead, true, false, P::kPaused, "Paused."},
      {"copied", P::kCopied, 0, R::kDead, true, false, P::kCopied, "Paused."},
      {"done", P::kDone, 0, R::kDead, true, false, P::kDone, "Paused."},
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
    EXPECT_TRUE(processes().signals.empty()) << "a tick never signals anyone";
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

// Given a launched supervisor, then the tick after it launches nothing more,
// however often it runs.
TEST_F(TransferTickThroughLauncher, NeverLaunchesASecondSupervisor) {
  job(TransferPhase::kWaitingForDrive, 2);
  for (int tick = 0; tick < 3; ++tick) transferTick(*ctx_, kServiceProgram);
  ASSERT_EQ(processes().launches.size(), 1u);
  EXPECT_EQ(store().get("resumeCount"), "3");

  processes().end(processes().launches[0].pid);  // the supervisor crashes
  transferTick(*ctx_, kServiceProgram);
  EXPECT_EQ(processes().launches.size(), 2u);
  EXPECT_EQ(store().get("resumeCount"), "4");
}

// The supervisor outlives the command that launched it, finds the
// supervisor lock on its fixed descriptor and keeps its log.
TEST_F(TransferTickThroughLauncher, LaunchesTheSupervisorDetachedWithTheLockHandedOver) {
  job(TransferPhase::kCopying);
  transferTick(*ctx_, kServiceProgram);
  ASSERT_EQ(processes().launches.size(), 1u);
  const SpawnRequest& launched = processes().launches[0].request;
  EXPECT_EQ(launched.path, kServiceProgram);
  ASSERT_FALSE(launched.args.empty());
  EXPECT_EQ(launched.args[0], "__xfer-supervise");
  EXPECT_EQ(launched.detachment, Detachment::kDoubleFork);
  EXPECT_EQ(launched.grouping, Grouping::kNewSession);
  EXPECT_EQ(launched.hangUp, HangUp::kIgnore);
  ASSERT_TRUE(launched.handOver);
  EXPECT_EQ(launched.handOver->as, kSupervisorLockFd);
  EXPECT_EQ(launched.stdoutTo.kind, OutputTarget::Kind::kAppendFile);
  EXPECT_EQ(launched.stdoutTo.file, files().rsyncLog.string());
  EXPECT_EQ(store().get("pid"), std::to_string(processes().launches[0].pid));
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

// Given a launch that fails, then the job stays as it was resumed and the
// next tick tries again.
TEST_F(TransferTickThroughLauncher, AFailedLaunchIsRetriedByTheNextTick) {
  job(TransferPhase::kCopying);
  processes().spawnFailure = Error{Errc::kLaunchFailed, "fork: Resource temporarily unavailable"};
  transferTick(*ctx_, kServiceProgram);
  EXPECT_TRUE(processes().launches.empty());
  EXPECT_NE(readFile(paths_.log).value_or("").find("transfer: "), std::string::npos);
  processes().spawnFailure.reset();
  transferTick(*ctx_, kServiceProgram);
  EXPECT_EQ(processes().launches.size(), 1u);
  EXPECT_EQ(store().get("resumeCount"), "2");
}

}  // namespace
}  // namespace brimvale::service
