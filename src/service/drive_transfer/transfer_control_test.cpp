#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_job_fixture.h"

namespace brimvale::service {
namespace {

namespace fs = std::filesystem;
using TransferControlThroughLauncher = TransferJobFixture;

enum class Process { kNone, kRunning, kDead, kStranger };

// A process in the given state, recorded in `pidFile`; 0 when none.
int place(TransferJobFixture& t, Process p, const fs::path& pidFile, const std::string& program) {
  int pid = 0;
  switch (p) {
    case Process::kNone: return 0;
    case Process::kRunning: pid = t.processes().start(program); break;
    case Process::kDead:
      pid = t.processes().start(program);
      t.processes().end(pid);
      break;
    case Process::kStranger: pid = t.processes().start("/usr/sbin/sshd"); break;
  }
  t.record(pidFile, pid);
  return pid;
}

// Given a running job whose recorded supervisor and copy are alive, dead or
// pids now used by another program, then pause stops exactly the job's own.
TEST_F(TransferControlThroughLauncher, PauseSignalsOnlyTheJobsOwnProcesses) {
  struct Case {
    const char* name;
    Process supervisor;
    Process copy;
  } cases[] = {
      {"both running", Process::kRunning, Process::kRunning},
      {"both ended", Process::kDead, Process::kDead},
      {"supervisor pid reused", Process::kStranger, Process::kRunning},
      {"copy pid reused", Process::kRunning, Process::kStranger},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    job(TransferPhase::kCopying);
    const int supervisor = place(*this, c.supervisor, files().supervisorPid, kServiceProgram);
    const int copy = place(*this, c.copy, files().copyPid, kRsync);
    ASSERT_EQ(transferPauseCommand(*ctx_, {}), 0);
    EXPECT_EQ(out_.str(), "Transfer paused.\n");
    EXPECT_EQ(store().currentPhase(), TransferPhase::kPaused);
    EXPECT_FALSE(fs::exists(files().supervisorPid));
    for (const auto& [pid, p] : {std::pair{supervisor, c.supervisor}, std::pair{copy, c.copy}}) {
      if (pid == 0) continue;
      const std::vector<int> expected =
          p == Process::kRunning ? std::vector<int>{SIGTERM} : std::vector<int>{};
      EXPECT_EQ(processes().signalsTo(pid), expected) << "pid " << pid;
    }
  }
}

// Given a paused job, then resume relaunches its supervisor unless one of
// the job's is still stopping, and a failed launch leaves it paused.
TEST_F(TransferControlThroughLauncher, ResumeRelaunchesOnlyAStoppedJob) {
  struct Case {
    const char* name;
    TransferPhase phase;
    Process supervisor;
    bool launchFails;
    int exitCode;
    const char* said;
    TransferPhase expectedPhase;
    int expectedResumes;
  } cases[] = {
      {"stopped", TransferPhase::kPaused, Process::kDead, false, 0, "Transfer resumed.\n",
       TransferPhase::kCopying, 4},
      {"still stopping", TransferPhase::kPaused, Process::kRunning, false, 1,
       "The transfer is still stopping, so it wasn't resumed yet. Your current drive is "
       "unchanged; try resuming again in a moment.\n",
       TransferPhase::kPaused, 3},
      {"launch fails", TransferPhase::kPaused, Process::kDead, true, 1,
       "The transfer couldn't be restarted, so it stays paused.", TransferPhase::kPaused, 3},
      {"left copying by a supervisor that died", TransferPhase::kCopying, Process::kDead, false, 0,
       "Transfer resumed.\n", TransferPhase::kCopying, 4},
      {"copying", TransferPhase::kCopying, Process::kRunning, false, 0,
       "The transfer is already running.\n", TransferPhase::kCopying, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    job(c.phase, 3);
    place(*this, c.supervisor, files().supervisorPid, kServiceProgram);
    if (c.launchFails) processes().spawnFailure = Error{Errc::kLaunchFailed, "fork: no"};
    EXPECT_EQ(transferResumeCommand(*ctx_, {}), c.exitCode);
    EXPECT_NE(out_.str().find(c.said), std::string::npos) << out_.str();
    EXPECT_EQ(store().currentPhase(), c.expectedPhase);
    EXPECT_EQ(store().get("resumeCount"), std::to_string(c.expectedResumes));
    const bool launched = c.expectedResumes == 4;
    EXPECT_EQ(processes().launches.size(), launched ? 1u : 0u);
  }
}

// Given a supervisor that ignores SIGTERM, then cancel kills it before it
// deletes the copy, so nothing writes into what is being deleted.
TEST_F(TransferControlThroughLauncher, CancelKillsASupervisorThatWillNotStop) {
  job(TransferPhase::kCopying);
  const fs::path copy = dest_ / ctx_->workingFolderName();
  std::ofstream(copy / ".hollin-managed") << "marker_version=1\ncreated_by=transfer\n";
  std::ofstream(copy / "clip.mov") << "bytes";
  std::ofstream(paths_.config) << "NVMe=\"" << source_.string() << "\"\n";
  const int supervisor = place(*this, Process::kRunning, files().supervisorPid, kServiceProgram);
  const int stranger = place(*this, Process::kStranger, files().copyPid, kRsync);
  processes().ignoresTerm.insert(supervisor);
  std::istringstream in;
  EXPECT_EQ(cancelTransfer(*ctx_, CancelConsent::kGiven, in), 0) << out_.str();
  EXPECT_EQ(processes().signalsTo(supervisor), (std::vector<int>{SIGTERM, SIGKILL}));
  EXPECT_TRUE(processes().signalsTo(stranger).empty());
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ(store().currentPhase(), TransferPhase::kFailed);
  EXPECT_FALSE(fs::exists(files().lock));
}

}  // namespace
}  // namespace brimvale::service
