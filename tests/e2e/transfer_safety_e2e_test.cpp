// The drive-to-drive transfer under crashes, races, failed switches and
// tampered state: the real brim-vale, real rsync and tmpfs drives. Every case
// takes checksums of the user's data before and after.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "common/base/file_io.h"
#include "common/state/service_config.h"
#include "e2e_harness.h"
#include "platform/platform.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_temporaries.h"
#include "transfer_scene.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

const std::string kSlowRsyncStandIn = BRIMVALE_STANDINS_DIR "/slow_rsync";

// Every entry below `root` with a checksum of its content, or its link
// target; the drive's marker is left out, as each drive has its own.
TreeSums treeChecksums(const fs::path& root) {
  TreeSums sums = treeSums(root);
  sums.erase(".hollin-managed");
  return sums;
}

pid_t parentOf(pid_t pid) {
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  std::istringstream fields(stat->substr(stat->rfind(')') + 2));
  std::string state;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

// Running supervisors of `home`'s job. A supervisor's child between its fork
// and its exec still shows the supervisor's command line; it is not counted.
int countSupervisors(const fs::path& home) {
  const std::vector<pid_t> all = processesOf("__xfer-supervise", home);
  return static_cast<int>(std::count_if(all.begin(), all.end(), [&all](pid_t p) {
    return std::find(all.begin(), all.end(), parentOf(p)) == all.end();
  }));
}

class TransferSafetyE2E : public ::testing::Test {
 protected:
  // A managed working folder with `files` MiB-sized files on `drive`, and the
  // configuration pointing at it.
  static fs::path prepareSource(const TempHome& home, const TmpfsDrive& drive, int files) {
    const fs::path source = prepareTransferSource(home, drive, files, 11);
    std::ofstream(source / "Media" / "notes \"v2\".txt") << "small";
    fs::create_symlink("notes \"v2\".txt", source / "Media" / "latest");
    return source;
  }

  static json status(const TempHome& home) { return transferStatus(home); }

  static json waitForPhase(const TempHome& home, const std::string& phase, int seconds = 60) {
    return waitForTransferPhase(home, phase, seconds);
  }

  // Waits until no process of this home runs a supervisor.
  static void waitForNoSupervisor(const TempHome& home) {
    for (int i = 0; i < 200 && countSupervisors(home.path()) > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(countSupervisors(home.path()), 0);
  }

  static void tick(const TempHome& home) { transferWatchTick(home); }

  static fs::path lock(const TempHome& home) { return home.state() / "transfer.lock"; }

  static fs::path configuredDrive(const TempHome& home) {
    return loadServiceConfig(StatePaths::forHome(home.path()), thisWorkingFolderName())
        .value()
        .nvme();
  }

  std::string tag_ = testTag();
};

// Given a supervisor killed right after it started checking the copy, then
// the next tick checks it again and the job ends where it should have:
// a backup done, a transfer at copied waiting for its commit.
TEST_F(TransferSafetyE2E, ATickFinishesACheckWhoseSupervisorDied) {
  for (const std::string kind : {"backup", "transfer"}) {
    SCOPED_TRACE(kind);
    TempHome home;
    TmpfsDrive src("vs-" + kind + "-" + tag_);
    TmpfsDrive dst("vd-" + kind + "-" + tag_);
    BRIMVALE_REQUIRE_DRIVE(src);
    BRIMVALE_REQUIRE_DRIVE(dst);
    const fs::path source = prepareSource(home, src, 3);
    const auto before = treeChecksums(source);

    ProcessResult r = runBrimVale(home, {"transfer-start", kind, dst.path().string(), "1",
                                         "--stop-after=transfer:verifying"});
    ASSERT_EQ(r.exitCode, 0) << r.describe();
    waitForPhase(home, "verifying");
    waitForNoSupervisor(home);
    EXPECT_EQ(status(home)["phase"], "verifying") << "a dead check stays put until the tick";
    EXPECT_TRUE(fs::is_directory(lock(home)));

    tick(home);
    json ended = waitForPhase(home, kind == "backup" ? "done" : "copied");
    EXPECT_EQ(ended["resumeCount"], 1);
    EXPECT_EQ(ended["lastError"], "");
    EXPECT_EQ(treeChecksums(dst.path() / thisWorkingFolderName()), before);
    EXPECT_EQ(treeChecksums(source), before);
    EXPECT_EQ(fs::exists(lock(home)), kind == "transfer") << "only a transfer waits for its commit";
  }
}

// Given a job state edited so that its copy is a link on the destination
// leading into the home folder, then a cancel stops the job, deletes nothing
// and says so.
TEST_F(TransferSafetyE2E, CancelDeletesNothingATamperedJobNames) {
  TempHome home;
  TmpfsDrive src("ts-" + tag_);
  TmpfsDrive dst("td-" + tag_);
  BRIMVALE_REQUIRE_DRIVE(src);
  BRIMVALE_REQUIRE_DRIVE(dst);
  const std::string name = thisWorkingFolderName();
  const fs::path source = prepareSource(home, src, 2), projects = home.path() / "Projects";
  fs::create_directories(projects / "src");
  std::ofstream(projects / "src" / "main.c") << "int main() {}\n";
  std::ofstream(projects / ".hollin-managed") << "created_by=transfer\n";
  const fs::path destWorking = dst.path() / name;
  fs::create_directory_symlink(projects, destWorking);
  fs::create_directories(lock(home));
  std::ofstream(home.state() / "transfer-job.kv")
      << "version=1\nkind=transfer\nphase=waitingForDrive\nsourceRoot=" << src.path().string()
      << "\ndestRoot=" << dst.path().string() << "\nstorName=" << name
      << "\nsourceWorking=" << source.string() << "\ndestWorking=" << destWorking.string() << "\n";
  const auto homeBefore = treeSums(projects), sourceBefore = treeChecksums(source);

  ProcessResult r = runBrimVale(home, {"transfer-cancel", "--yes"});
  EXPECT_EQ(r.exitCode, 1) << r.describe();
  EXPECT_NE(r.out.find("Transfer cancelled.\nBrimvale did not delete " + destWorking.string()),
            std::string::npos)
      << r.out;
  EXPECT_EQ(treeSums(projects), homeBefore);
  EXPECT_EQ(treeChecksums(source), sourceBefore);
  EXPECT_TRUE(fs::is_symlink(destWorking));
  EXPECT_FALSE(fs::exists(lock(home))) << "the job itself is cancelled";
}

// Given a configuration that can't be rewritten when the commit switches
// drives, then the commit reports the failure, keeps the verified copy, the
// lock and the cause, refuses a bare cancel, and a retry succeeds.
TEST_F(TransferSafetyE2E, AFailedSwitchKeepsTheJobAtCopiedUntilARetry) {
  TempHome home;
  TmpfsDrive src("fs-" + tag_);
  TmpfsDrive dst("fd-" + tag_);
  BRIMVALE_REQUIRE_DRIVE(src);
  BRIMVALE_REQUIRE_DRIVE(dst);
  const fs::path source = prepareSource(home, src, 2);
  const auto before = treeChecksums(source);
  ASSERT_EQ(runBrimVale(home, {"transfer-start", dst.path().string() + "/", "1"}).exitCode, 0);
  const json copied = waitForPhase(home, "copied");
  EXPECT_EQ(copied["destRoot"], dst.path().string());
  // Done well within the first second: only the copy's last progress says so
  // (rsync's own count ends at 99 or 100).
  EXPECT_GE(copied["percent"], 99) << "the copy's last progress was not kept";
  const fs::path copy = dst.path() / thisWorkingFolderName();
  const fs::path config = home.path() / ".brimvale/brim-vale.conf";

  // A file that is a mount point can't be replaced by a rename, even by root.
  ASSERT_EQ(mount(config.c_str(), config.c_str(), nullptr, MS_BIND, nullptr), 0);
  ProcessResult r = runBrimVale(home, {"transfer-commit"});
  umount2(config.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exitCode, 1) << r.describe();
  EXPECT_NE(r.out.find("The switch couldn't be completed. Your old drive still has everything — "
                       "nothing was deleted. Couldn't write the configuration"),
            std::string::npos)
      << r.out;
  const json failed = status(home);
  EXPECT_EQ(failed["phase"], "copied");
  EXPECT_TRUE(failed["lastError"].get<std::string>().starts_with("The switch couldn't be"));
  EXPECT_TRUE(fs::is_directory(lock(home)));
  EXPECT_EQ(configuredDrive(home), src.path());

  r = runBrimVale(home, {"transfer-cancel"});
  EXPECT_EQ(r.exitCode, 2) << r.describe();
  EXPECT_NE(r.out.find("It was not deleted and nothing was changed."), std::string::npos) << r.out;
  EXPECT_EQ(status(home)["phase"], "copied");

  r = runBrimVale(home, {"transfer-commit"});
  EXPECT_EQ(r.exitCode, 0) << r.describe();
  EXPECT_NE(r.out.find("Transfer complete. Now using " + dst.path().string() + ".\n"),
            std::string::npos);
  EXPECT_EQ(configuredDrive(home), dst.path());
  EXPECT_FALSE(fs::exists(lock(home)));
  EXPECT_EQ(treeChecksums(copy), before);
  EXPECT_EQ(treeChecksums(source), before);
}

// Given pause and resume started at the same moment, over and over, then at
// no moment (the processes are counted all the while) do two supervisors or
// two copies run, and the copy still ends verified with every byte.
TEST_F(TransferSafetyE2E, PauseAndResumeTogetherNeverRunTwoSupervisors) {
  TempHome home;
  TmpfsDrive src("rs-" + tag_);
  TmpfsDrive dst("rd-" + tag_);
  BRIMVALE_REQUIRE_DRIVE(src);
  BRIMVALE_REQUIRE_DRIVE(dst);
  const fs::path source = prepareSource(home, src, 32);
  const auto before = treeChecksums(source);
  ASSERT_EQ(runBrimVale(home, {"transfer-start", "backup", dst.path().string(), "1"},
                        {{"RSYNC", kSlowRsyncStandIn}})
                .exitCode,
            0);
  const std::string destWorking = (dst.path() / thisWorkingFolderName()).string();

  std::atomic<bool> racing = true;
  std::atomic<int> mostSupervisors = 0, mostCopies = 0;
  std::thread counter([&] {
    while (racing) {
      mostSupervisors = std::max(mostSupervisors.load(), countSupervisors(home.path()));
      // GNU rsync runs a copy as three processes (sender, receiver, generator).
      const int copyProcesses = static_cast<int>(processesOf(destWorking, home.path()).size());
      mostCopies = std::max(mostCopies.load(), (copyProcesses + 2) / 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  constexpr int kTrials = 8;
  for (int trial = 0; trial < kTrials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    ProcessResult paused, resumed;
    std::thread pause([&] { paused = runBrimVale(home, {"transfer-pause"}); });
    std::thread resume([&] {
      resumed = runBrimVale(home, {"transfer-resume"}, {{"RSYNC", kSlowRsyncStandIn}});
    });
    pause.join();
    resume.join();
    EXPECT_EQ(paused.exitCode, 0) << paused.describe();
    EXPECT_EQ(resumed.exitCode, 0) << resumed.describe();
    // A launched supervisor needs a moment to show its own command line.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const std::string phase = status(home)["phase"];
    const bool resting = phase == "copying" || phase == "paused";
    EXPECT_TRUE(resting) << phase;
    EXPECT_EQ(countSupervisors(home.path()), phase == "copying" ? 1 : 0);
    if (!resting) break;
  }
  racing = false;
  counter.join();
  EXPECT_LE(mostSupervisors, 1);
  EXPECT_LE(mostCopies, 1);

  // Finish at full speed.
  (void)runBrimVale(home, {"transfer-pause"});
  ASSERT_EQ(runBrimVale(home, {"transfer-resume"}).out, "Transfer resumed.\n");
  json done = waitForPhase(home, "done");
  EXPECT_EQ(done["lastError"], "");
  EXPECT_EQ(treeChecksums(destWorking), before);
  EXPECT_EQ(treeChecksums(source), before);
}

// The copy tool's temporary files below `root`.
std::vector<fs::path> copyTemporaries(const fs::path& root) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (service::temporaryOf(it->path().filename().string())) found.push_back(it->path());
  }
  return found;
}

// Given the copy's rsync killed half-way through a file, then the job copies
// on after the next tick and ends done only once the half-written temporary
// is gone and the copy equals the source.
TEST_F(TransferSafetyE2E, ACopyKilledMidFileLeavesNoTemporaryBehind) {
  TempHome home;
  TmpfsDrive src("ks-" + tag_);
  TmpfsDrive dst("kd-" + tag_);
  BRIMVALE_REQUIRE_DRIVE(src);
  BRIMVALE_REQUIRE_DRIVE(dst);
  const fs::path source = prepareSource(home, src, 1);
  // Seconds long at the slow copy's pace.
  std::ofstream(source / "Media" / "big.bin") << std::string(8 << 20, 'b');
  const auto before = treeChecksums(source);
  const fs::path copy = dst.path() / thisWorkingFolderName();
  ASSERT_EQ(runBrimVale(home, {"transfer-start", "backup", dst.path().string(), "1"},
                        {{"RSYNC", kSlowRsyncStandIn}})
                .exitCode,
            0);
  fs::path temporary;
  for (int i = 0; i < 600 && temporary.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& t : copyTemporaries(copy)) {
      std::error_code ec;
      if (service::temporaryOf(t.filename().string()) == "big.bin" && fs::file_size(t, ec) > 0)
        temporary = t;
    }
  }
  ASSERT_FALSE(temporary.empty()) << "the copy was never caught writing a file";
  // Stop every copy process before killing any: a receiver that sees its
  // sender die first would remove the temporary on its way out.
  std::set<pid_t> stopped;
  for (int round = 0; round < 5; ++round) {
    const std::size_t known = stopped.size();
    for (pid_t p : processesOf(copy.string(), home.path())) {
      if (stopped.insert(p).second) kill(p, SIGSTOP);
    }
    if (stopped.size() == known) break;
  }
  for (pid_t p : stopped) kill(p, SIGKILL);
  waitForPhase(home, "waitingForDrive");
  waitForNoSupervisor(home);
  ASSERT_TRUE(fs::exists(temporary)) << "a killed copy leaves its temporary";

  tick(home);
  json ended = waitForPhase(home, "done");
  EXPECT_EQ(ended["lastError"], "");
  EXPECT_EQ(copyTemporaries(copy), std::vector<fs::path>{});
  EXPECT_EQ(treeChecksums(copy), before);
  EXPECT_EQ(treeChecksums(source), before);
}

// Given a copy stopped just before its check and a file the source lacks put
// on the destination meanwhile, then the check fails the job instead of
// saying done; it removes the copy tool's temporary and nothing else.
TEST_F(TransferSafetyE2E, AFileTheSourceLacksFailsTheCheck) {
  TempHome home;
  TmpfsDrive src("es-" + tag_);
  TmpfsDrive dst("ed-" + tag_);
  BRIMVALE_REQUIRE_DRIVE(src);
  BRIMVALE_REQUIRE_DRIVE(dst);
  const fs::path source = prepareSource(home, src, 1);
  const auto before = treeChecksums(source);
  const fs::path copy = dst.path() / thisWorkingFolderName();
  ASSERT_EQ(runBrimVale(home, {"transfer-start", "backup", dst.path().string(), "1",
                               "--stop-after=transfer:verifying"})
                .exitCode,
            0);
  waitForPhase(home, "verifying");
  waitForNoSupervisor(home);
  const fs::path stray = copy / "Media" / "stray.txt";
  const fs::path temporary = copy / "Media" / "Movies" / ".clip 0.mov.Ab12Cd";
  std::ofstream(stray) << "not on the source";
  std::ofstream(temporary) << "half a clip";

  tick(home);
  json ended = waitForPhase(home, "failed", 30);
  EXPECT_EQ(ended["lastError"], "The copy couldn't be verified. Your current drive is unchanged.");
  EXPECT_EQ(readFile(stray).value_or(""), "not on the source");
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(treeChecksums(source), before);
}

}  // namespace
}  // namespace brimvale::e2e
