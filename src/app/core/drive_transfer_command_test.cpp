#include "app/core/drive_transfer_command.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <sstream>

#include "common/base/file_io.h"
#include "mover/manifest.h"
#include "mover/safety_checks.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {

ProcessResult exited(std::string out, int code = 0) {
  ProcessResult r;
  r.outcome = ProcessOutcome::kExited;
  r.exitCode = code;
  r.out = std::move(out);
  return r;
}

// A service answering from a table keyed by its arguments, a job file the
// test rewrites between looks, and a switch that records its runs.
struct TransferScene {
  brimvale::testing::TempFolder tmp{"bv-drive-transfer"};
  StatePaths paths = StatePaths::forHome(tmp.folder("home"));
  std::map<std::string, ProcessResult> answers;
  std::vector<std::string> calls;
  std::deque<std::string> jobs;  // job files shown one per look, the last one stays
  mover::SwitchOutcome switchOutcome{.end = mover::SwitchEnd::kSwitched};
  int switches = 0;
  std::ostringstream out, err;
  ViewCommandHost view{.service =
                           [this](const std::vector<std::string>& args) {
                             std::string key;
                             for (const auto& a : args) key += (key.empty() ? "" : " ") + a;
                             calls.push_back(key);
                             auto it = answers.find(key);
                             return it == answers.end() ? exited("", 64) : it->second;
                           },
                       .out = out,
                       .err = err};

  int run(std::vector<std::string> args, bool wait = false, bool json = false) {
    view.json = json;
    nextJob();
    DriveTransferHost host{.view = view,
                           .paths = paths,
                           .runSwitch =
                               [this](const std::function<void(std::string_view)>& show) {
                                 ++switches;
                                 show("Checking the copy…");
                                 return switchOutcome;
                               },
                           .wait = wait,
                           .pause = [this] { nextJob(); }};
    return driveTransferCommand(host, args);
  }

  void nextJob() {
    if (jobs.empty()) return;
    std::filesystem::create_directories(paths.state);
    ASSERT_TRUE(writeFileAtomically(paths.state / "transfer-job.json", jobs.front()));
    if (jobs.size() > 1) jobs.pop_front();
  }
};

std::string job(const std::string& kind, const std::string& phase, const std::string& extra = "") {
  return R"({"kind":")" + kind + R"(","phase":")" + phase +
         R"(","sourceRoot":"/Volumes/Old","destRoot":"/Volumes/New")" + extra + "}";
}

TEST(DriveTransferCommand, WaitFollowsTheJobAndEndsWithItsResult) {
  const std::string copying =
      job("transfer", "copying", R"(,"percent":50,"bytesDone":1000,"bytesTotal":2000)");
  const struct {
    const char* name;
    std::vector<std::string> jobs;
    mover::SwitchEnd switchEnd;
    int exit;
    int switches;
    std::string lastLines;
  } cases[] = {
      {"a transfer switches once copied",
       {copying, job("transfer", "verifying"), job("transfer", "copied")},
       mover::SwitchEnd::kSwitched,
       0,
       1,
       "Copy verified — switching over…\nSwitching to the new drive…\n  Checking the copy…\n"
       "Moved everything to the new drive and switched over.\n"},
      {"a refused switch says the old drive has everything",
       {job("transfer", "copied")},
       mover::SwitchEnd::kRefused,
       1,
       1,
       "The switch couldn't be completed. Your old drive still has everything — nothing was "
       "deleted.\nWhat stopped it: a move is still in progress.\n"},
      {"a backup is never switched",
       {job("backup", "verifying"), job("backup", "done")},
       mover::SwitchEnd::kSwitched,
       0,
       0,
       "Checking the copy…\nBacked everything up to the other drive.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TransferScene s;
    s.jobs.assign(c.jobs.begin(), c.jobs.end());
    s.switchOutcome = {.end = c.switchEnd, .reason = "a move is still in progress"};
    EXPECT_EQ(s.run({"status"}, true), c.exit) << s.out.str();
    EXPECT_EQ(s.switches, c.switches);
    const std::string shown = s.out.str();
    EXPECT_NE(shown.find(c.lastLines), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << "no escape bytes off a terminal";
  }
}

TEST(DriveTransferCommand, CancelIsRefusedOnceLinksLeadToTheNewCopy) {
  TransferScene s;
  const auto oldCopy = s.tmp.file("old/BRIM-A/Relocated/x", "x");
  const auto newCopy = s.tmp.file("new/BRIM-A/Relocated/x", "x");
  const auto link = s.tmp.link("home/x", oldCopy);
  std::filesystem::create_directories(s.paths.state / "folder-moves");
  mover::MoveManifest move;
  move.id = "F1";
  move.src = link.string();
  move.finalDst = oldCopy.string();
  move.phase = mover::MovePhase::kDone;
  ASSERT_TRUE(
      writeFileAtomically(s.paths.state / "folder-moves" / "F1.json", mover::encodeManifest(move)));
  s.jobs = {job("transfer", "copied",
                R"(,"sourceWorking":")" + (s.tmp.path() / "old/BRIM-A").string() +
                    R"(","destWorking":")" + (s.tmp.path() / "new/BRIM-A").string() + "\"")};
  s.answers["transfer-cancel"] = exited("Transfer cancelled.\n");
  EXPECT_EQ(s.run({"cancel"}), 0) << "links still lead to the old drive: " << s.err.str();

  std::filesystem::remove(link);
  std::filesystem::create_symlink(newCopy, link);
  s.calls.clear();
  EXPECT_EQ(s.run({"cancel"}), 1);
  EXPECT_NE(s.err.str().find("can't be cancelled"), std::string::npos) << s.err.str();
  EXPECT_TRUE(s.calls.empty()) << "the service was never asked to delete the copy";
}

// The page's "Switching to the new drive…" shows only while a switch holds the relocator lock over
// a transfer whose copy is verified.
TEST(DriveTransferCommand, SwitchRunsOnlyUnderTheLockOfACopiedTransfer) {
  TransferScene s;
  mover::RelocatorLock held(s.paths.state);
  ASSERT_TRUE(held.acquire(std::chrono::milliseconds(0)));
  const struct {
    const char* kind;
    const char* phase;
    bool switching;
  } cases[] = {
      {"transfer", "copied", true},
      {"transfer", "copying", false},
      {"backup", "copied", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.phase);
    EXPECT_EQ(switchRunning(s.paths, parseDriveTransferJob(job(c.kind, c.phase))), c.switching);
  }
  held.release();
  EXPECT_FALSE(switchRunning(s.paths, parseDriveTransferJob(job("transfer", "copied"))));
}

}  // namespace
}  // namespace brimvale::app
