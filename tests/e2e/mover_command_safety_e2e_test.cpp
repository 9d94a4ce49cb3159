// `brimvale move`, `moves resume` and `brimvale run` as a user drives them,
// checked for what matters most: after refusals, repeats, races, Ctrl-C,
// crashes at every step and tampered records, every byte of the user's
// folder is still reachable at its original path.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "e2e_harness.h"
#include "mover_scene.h"
#include "sandbox_files.h"
#include "service_process.h"
#include "testing/text_checks.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kSlowRsync = BRIMVALE_STANDINS_DIR "/slow_rsync";

bool hasEntries(const fs::path& folder) {
  std::error_code ec;
  return fs::is_directory(folder, ec) && !fs::is_empty(folder, ec);
}

// Links inside `copy` that point into `copy`: what copying a relocated
// folder onto its own copy leaves behind.
int selfLinks(const fs::path& copy) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(copy, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    if (fs::read_symlink(it->path(), ec).string().starts_with(copy.string() + "/")) ++n;
  }
  return n;
}

std::string onlyPhase(const TempHome& home) {
  auto all = moveRecords(home);
  return all.size() == 1 ? all[0]["phase"].get<std::string>()
                         : "(" + std::to_string(all.size()) + " records)";
}

using brimvale::testing::contains;

class MoverCommandSafety : public MoverScene {
 protected:
  MoverCommandSafety() : MoverScene("Safety-", "256m") {}
  void prepare(const TempHome& home) const { prepareMoverHome(home, drive_.path()); }
};

// Given folders a move must never take, then each is refused with a sentence
// naming the reason, and nothing anywhere changes; a root outside the home
// folder is allowed only when named with --allow-root.
TEST_F(MoverCommandSafety, RefusesWhatAMoveMustNotTake) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path home = home_.path();
  writeAwkwardTree(home / ".ssh", 3, 100);
  writeAwkwardTree(home / "Projects", 5, 100);
  fs::create_directories(home / "Disk");
  ASSERT_EQ(mount("tmpfs", (home / "Disk").c_str(), "tmpfs", 0, "size=1m"), 0);
  writeAwkwardTree(home / "Disk", 2, 100);
  writeAwkwardTree(working() / "Relocated" / "Earlier", 2, 100);
  TempHome outside;  // a folder outside this home
  writeAwkwardTree(outside.path() / "Data", 4, 100);
  const TreeView sshBefore = userView(home / ".ssh"), projectsBefore = userView(home / "Projects"),
                 diskBefore = userView(home / "Disk"), driveBefore = userView(drive_.path()),
                 outsideBefore = userView(outside.path());
  struct Case {
    fs::path folder;
    const char* says;
  } cases[] = {
      {home, "is your home folder itself"},
      {home / ".ssh", "is protected (SSH keys)"},
      {home / ".ssh" / "dir 1", "is protected (SSH keys)"},
      {home / ".brimvale", "is protected (Brimvale state)"},
      {home / "Disk", "is where a disk is mounted"},
      {drive_.path(), "is already on the drive"},
      {working(), "is already on the drive"},
      {working() / "Relocated" / "Earlier", "is already on the drive"},
      {outside.path() / "Data", "lies outside your home folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder.string());
    auto r = runApp(home_, {"move", c.folder.string(), "--yes"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, c.says)) << r.err;
    EXPECT_TRUE(contains(r.err, "Nothing was changed.")) << r.err;
  }
  EXPECT_TRUE(contains(runApp(home_, {"move", (outside.path() / "Data").string(), "--yes"}).err,
                       "name the folder that holds it with --allow-root"));
  EXPECT_EQ(userView(home / "Disk"), diskBefore);
  umount2((home / "Disk").c_str(), MNT_DETACH);
  fs::remove(home / "Disk");
  EXPECT_EQ(userView(home / ".ssh"), sshBefore);
  EXPECT_EQ(userView(home / "Projects"), projectsBefore);
  EXPECT_EQ(userView(drive_.path()), driveBefore);
  EXPECT_EQ(userView(outside.path()), outsideBefore);
  EXPECT_TRUE(moveRecords(home_).empty());

  // Named on purpose, the outside root is taken like the home folder.
  auto allowed = runApp(home_, {"move", (outside.path() / "Data").string(), "--yes", "--allow-root",
                                outside.path().string()});
  ASSERT_EQ(allowed.exitCode, 0) << allowed.out << allowed.err;
  EXPECT_EQ(lostEntries(outsideBefore, userView(outside.path())), 0);
  EXPECT_TRUE(fs::is_symlink(outside.path() / "Data" / "dir 1" / "file \"1\" é.bin"));
}

// A system folder, even named with --allow-root, is refused. The path is a
// temporary folder bind-mounted over /opt in a mount namespace of this case
// alone, so the machine's own /opt is never in reach.
TEST_F(MoverCommandSafety, SystemFoldersAreRefusedEvenWhenNamedAsARoot) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  if (!fs::is_directory("/opt")) GTEST_SKIP() << "no /opt to mount over";
  TempHome stand;  // what /opt shows inside the namespace
  writeAwkwardTree(stand.path() / "app", 4, 100);
  const TreeView before = userView(stand.path());
  for (const std::string target : {"/opt", "/opt/app"}) {
    SCOPED_TRACE(target);
    auto r = runProcess(
        {.path = "/usr/bin/unshare",
         .args = {"--mount", "--propagation", "private", "/bin/sh", "-c",
                  "mount --bind \"$1\" /opt && exec \"$2\" move \"$3\" --yes --allow-root /opt",
                  "sh", stand.path().string(), BRIMVALE_PATH, target},
         .envAdditions = {{"HOME", home_.path().string()}},
         .deadline = std::chrono::seconds(60)});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(contains(
        r.err, target + " is a system folder, and Brimvale never moves or deletes system folders."))
        << r.err;
  }
  EXPECT_EQ(userView(stand.path()), before);
  EXPECT_TRUE(moveRecords(home_).empty());
}

// Runs `brimvale move` on a terminal and answers its question.
std::pair<int, std::string> moveOnATerminal(const TempHome& home, const fs::path& folder,
                                            const std::string& answer) {
  int master = -1;
  const std::string homeVar = "HOME=" + home.path().string();
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    putenv(const_cast<char*>(homeVar.c_str()));
    execl(BRIMVALE_PATH, BRIMVALE_PATH, "move", folder.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  char buf[4096];
  bool answered = false;
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // the program ended (EIO once the terminal closes)
    seen.append(buf, static_cast<std::size_t>(n));
    if (!answered && contains(seen, "[y/N] ")) {
      const std::string line = answer + "\n";
      (void)!write(master, line.data(), line.size());
      answered = true;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seen};
}

// Given no --yes, then the move asks on a terminal and refuses without one;
// --dry-run shows the plan; only "y" moves anything.
TEST_F(MoverCommandSafety, AsksFirstAndADryRunChangesNothing) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Old Projects";
  writeAwkwardTree(src, 1204, 10);
  const TreeView before = userView(src);

  auto unasked = runApp(home_, {"move", src.string()});
  EXPECT_EQ(unasked.exitCode, 1);
  EXPECT_TRUE(contains(unasked.err, "Relocate 1,204 files (")) << unasked.err;
  EXPECT_TRUE(contains(unasked.err, "there is no terminal here to ask on. Nothing was changed."))
      << unasked.err;
  EXPECT_TRUE(contains(unasked.err, "brimvale move " + shellQuoted(src.string()) + " --yes"))
      << unasked.err;

  auto plan = runApp(home_, {"move", src.string(), "--dry-run"});
  EXPECT_EQ(plan.exitCode, 0) << plan.err;
  EXPECT_TRUE(contains(plan.out, "Relocate 1,204 files (")) << plan.out;
  EXPECT_TRUE(contains(plan.out, ") from ~/Old Projects to the drive?\n")) << plan.out;
  EXPECT_TRUE(contains(plan.out, "The copy would go to " + relocated("Old Projects").string()))
      << plan.out;
  EXPECT_TRUE(contains(plan.out, "Dry run: nothing was changed.")) << plan.out;
  EXPECT_FALSE(fs::exists(working()));
  EXPECT_TRUE(moveRecords(home_).empty());

  auto [declined, declinedText] = moveOnATerminal(home_, src, "n");
  EXPECT_EQ(declined, 1) << declinedText;
  EXPECT_TRUE(contains(declinedText, "Nothing was moved; your folder is untouched."))
      << declinedText;
  EXPECT_TRUE(moveRecords(home_).empty());
  EXPECT_EQ(userView(src), before);

  auto [accepted, acceptedText] = moveOnATerminal(home_, src, "y");
  EXPECT_EQ(accepted, 0) << acceptedText;
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
  EXPECT_TRUE(fs::is_symlink(src / "dir 3" / "file \"3\" é.bin"));
}

// Given a folder relocated already, wholly or in part, then moving it again
// is refused and the copy on the drive keeps its real files.
TEST_F(MoverCommandSafety, AnAlreadyRelocatedFolderIsNotCopiedOntoItsCopy) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Photos";
  writeAwkwardTree(src, 30, 2000);
  const TreeView before = userView(src);
  ASSERT_EQ(runApp(home_, {"move", src.string(), "--yes"}).exitCode, 0);

  auto again = runApp(home_, {"move", src.string(), "--yes"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_TRUE(contains(
      again.err, "~/Photos is already on the drive: every file in it is a link to its copy in "))
      << again.err;
  // Part of a relocated folder, with new files beside the links.
  writeAwkwardTree(src / "dir 2" / "new", 3, 50);
  TreeView partBefore = userView(src / "dir 2");
  auto part = runApp(home_, {"move", (src / "dir 2").string(), "--yes"});
  EXPECT_EQ(part.exitCode, 1);
  EXPECT_TRUE(contains(part.err, "is already on the drive in part: ")) << part.err;
  EXPECT_EQ(lostEntries(partBefore, userView(src / "dir 2")), 0);
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
  EXPECT_EQ(selfLinks(relocated("Photos")), 0);
  EXPECT_EQ(userView(relocated("Photos")), before);
  EXPECT_EQ(moveRecords(home_).size(), 1u);
}

// Given two folders named alike, then each gets a copy of its own.
TEST_F(MoverCommandSafety, FoldersOfTheSameNameGetCopiesOfTheirOwn) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path a = home_.path() / "a" / "build", b = home_.path() / "b" / "build";
  writeAwkwardTree(a, 10, 300);
  writeAwkwardTree(b, 12, 700);
  const TreeView beforeA = userView(a), beforeB = userView(b);
  ASSERT_EQ(runApp(home_, {"move", a.string(), "--yes"}).exitCode, 0);
  auto second = runApp(home_, {"move", b.string(), "--yes"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_TRUE(
      contains(second.out, "Relocated " + b.string() + " to " + relocated("build.1").string()))
      << second.out;
  EXPECT_EQ(lostEntries(beforeA, userView(a)), 0);
  EXPECT_EQ(lostEntries(beforeB, userView(b)), 0);
  EXPECT_EQ(userView(relocated("build")), beforeA);
  EXPECT_EQ(userView(relocated("build.1")), beforeB);
}

// Given a relocation that failed half-way through replacing files with
// links, then the failure says how to finish, and running that finishes it.
TEST_F(MoverCommandSafety, ReRunningAfterAFailureFinishesTheMoveSafely) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Work";
  writeAwkwardTree(src, 40, 1000);
  const TreeView before = userView(src);
  // An immutable folder: its files cannot be replaced, even by root.
  if (!runTool("/usr/bin/chattr", {"+i", (src / "dir 4").string()}, 10s).succeeded()) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  auto failed = runApp(home_, {"move", src.string(), "--yes"});
  (void)runTool("/usr/bin/chattr", {"-i", (src / "dir 4").string()}, 10s);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(onlyPhase(home_), "failed");
  EXPECT_TRUE(contains(failed.err, "To finish the move safely, run: brimvale move " +
                                       shellQuoted(src.string()) + " --yes"))
      << failed.err;
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
  EXPECT_FALSE(fs::is_symlink(src / "dir 4" / "file \"4\" é.bin"));

  auto rerun = runApp(home_, {"move", src.string(), "--yes"});
  EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
  EXPECT_TRUE(contains(rerun.out, "Finishing move ")) << rerun.out;
  EXPECT_EQ(onlyPhase(home_), "done");
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
  EXPECT_TRUE(fs::is_symlink(src / "dir 4" / "file \"4\" é.bin"));
  EXPECT_EQ(selfLinks(relocated("Work")), 0);
  EXPECT_EQ(userView(relocated("Work")), before);
}

// Two `brimvale move` of one folder started together (a double click), many
// times: one moves, the other refuses, and no file is ever lost.
TEST_F(MoverCommandSafety, TwoMovesOfOneFolderAtOnceLoseNothing) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  int lostFiles = 0, counted = 0;
  for (int trial = 0; trial < 10; ++trial) {
    SCOPED_TRACE(trial);
    const std::string name = "Twice " + std::to_string(trial);
    const fs::path src = home_.path() / name;
    writeAwkwardTree(src, 60, 3000);
    const TreeView before = userView(src);
    counted += static_cast<int>(before.size());
    BackgroundApp first(home_, {"move", src.string(), "--yes"}, "first.txt");
    BackgroundApp second(home_, {"move", src.string(), "--yes"}, "second.txt");
    const int a = first.wait(), b = second.wait();
    EXPECT_TRUE((a == 0) != (b == 0)) << a << " " << b << "\n"
                                      << first.output() << "\n"
                                      << second.output();
    lostFiles += lostEntries(before, userView(src));
    EXPECT_EQ(selfLinks(relocated(name)), 0);
    EXPECT_EQ(userView(relocated(name)), before);
  }
  RecordProperty("files_counted", counted);
  RecordProperty("files_lost", lostFiles);
  EXPECT_EQ(lostFiles, 0);
}

// Given Ctrl-C during the copy, then the move is cancelled: the copy stops,
// the partial copy this move made is removed, the original is untouched, and
// a later resume leaves it so.
TEST_F(MoverCommandSafety, CtrlCDuringTheCopyCancelsTheMove) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Videos";
  writeAwkwardTree(src, 40, 200000);  // 8 MB: four seconds through the slow copy
  const TreeView before = userView(src);
  BackgroundApp move(home_, {"move", src.string(), "--yes"}, "move.txt", {{"RSYNC", kSlowRsync}});
  ASSERT_TRUE(eventually(
      [&] {
        return contains(readFile(home_.state() / "mover-log.txt").value_or(""),
                        "] rsync started (pid ") &&
               hasEntries(relocated("Videos"));
      },
      30s, 20ms));
  move.signal(SIGINT);
  EXPECT_EQ(move.wait(), 128 + SIGINT) << move.output();
  EXPECT_TRUE(contains(move.output(),
                       "The move of ~/Videos was cancelled. Your original is untouched; the "
                       "partial copy on the drive "
                       "was removed."))
      << move.output();
  auto all = moveRecords(home_);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["phase"], "cancelled");
  EXPECT_EQ(all[0]["lastError"], "Cancelled by user.");
  EXPECT_FALSE(fs::exists(relocated("Videos")));
  EXPECT_EQ(userView(src), before);
  EXPECT_FALSE(fs::is_symlink(src / "dir 1" / "file \"1\" é.bin"));

  auto resumed = runApp(home_, {"moves", "resume"});
  EXPECT_EQ(resumed.exitCode, 0);
  EXPECT_TRUE(contains(resumed.out, "No unfinished folder moves.")) << resumed.out;
  EXPECT_EQ(onlyPhase(home_), "cancelled");
  EXPECT_EQ(userView(src), before);
}

// Given records whose paths were tampered with, then resuming them is
// refused with a sentence and nothing they name is touched.
TEST_F(MoverCommandSafety, ATamperedRecordIsNotResumed) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  TempHome elsewhere;
  writeAwkwardTree(elsewhere.path() / "Victim", 5, 100);
  writeAwkwardTree(home_.path() / "Documents", 5, 100);
  writeAwkwardTree(working() / "Relocated" / "Kept", 5, 100);
  const TreeView victim = userView(elsewhere.path()),
                 documents = userView(home_.path() / "Documents"), kept = userView(working());
  fs::create_directories(home_.state() / "folder-moves");
  auto record = [&](const std::string& id, const fs::path& src, const fs::path& finalDst,
                    const char* phase) {
    nlohmann::json j = {{"id", id},
                        {"src", src.string()},
                        {"dstParent", finalDst.parent_path().string()},
                        {"finalDst", finalDst.string()},
                        {"startedAt", "2026-03-01T09:15:00Z"},
                        {"updatedAt", "2026-03-01T09:15:00Z"},
                        {"phase", phase},
                        {"conflictPolicy", "override"},
                        {"replaceSourceWithSymlink", false}};
    ASSERT_TRUE(writeFileAtomically(home_.state() / "folder-moves" / (id + ".json"), j.dump()));
  };
  record("00000000-0000-0000-0000-000000000001", elsewhere.path() / "Victim", relocated("Victim"),
         "cleaningUp");
  record("00000000-0000-0000-0000-000000000002", home_.path() / "Music", home_.path() / "Documents",
         "copying");
  record("00000000-0000-0000-0000-000000000003", "/usr", relocated("Kept"), "hashing");
  auto r = runApp(home_, {"moves", "resume"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
  EXPECT_TRUE(contains(
      r.err,
      "Brimvale did not resume the move of \u201CVictim\u201D because its record names a path "
      "it may not touch: " +
          (elsewhere.path() / "Victim").string() + " lies outside"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "a move to the drive must end in its folder")) << r.err;
  EXPECT_TRUE(contains(r.err, "/usr is a system folder")) << r.err;
  EXPECT_EQ(userView(elsewhere.path()), victim);
  EXPECT_EQ(userView(home_.path() / "Documents"), documents);
  EXPECT_EQ(userView(working()), kept);
  for (const auto& m : moveRecords(home_)) EXPECT_EQ(m["phase"], "failed");
}

// Given a drive that was never connected, then the move says so, not that
// the drive went away during it.
TEST_F(MoverCommandSafety, ADriveThatWasNeverThereIsNotSaidToHaveGone) {
  const fs::path src = home_.path() / "Notes";
  writeAwkwardTree(src, 3, 100);
  const TreeView before = userView(src);
  TempHome leftBehind;  // an empty folder where the drive would be mounted
  for (const fs::path& mount : {fs::path("/Volumes/Never-Connected-Drive"), leftBehind.path()}) {
    SCOPED_TRACE(mount.string());
    home_.writeConfig("NVMe=\"" + mount.string() + "\"\n");
    auto r = runApp(home_, {"move", src.string(), "--yes"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "The fast drive isn't connected at " + mount.string() +
                                    ". Nothing was moved; your folder is untouched."))
        << r.err;
    EXPECT_FALSE(contains(r.err, "went away")) << r.err;
  }
  EXPECT_EQ(userView(src), before);
  EXPECT_TRUE(moveRecords(home_).empty());
  EXPECT_TRUE(fs::is_empty(leftBehind.path()));
}

// `brimvale run` started, the move's work left to it, then stopped.
void resumeWithRun(const TempHome& home, const fs::path& scripts,
                   const std::function<void(BackgroundApp&)>& whileRunning) {
  BackgroundApp app(home, {"--scripts", scripts.string(), "run"}, "run.txt");
  whileRunning(app);
  app.signal(SIGTERM);
  EXPECT_EQ(app.wait(30s), 0) << app.output();
}

// Given a move stopped in its copy and another process holding the relocator
// lock, then `brimvale run` leaves the move alone until the lock is free,
// and then finishes it.
TEST_F(MoverCommandSafety, RunResumesMovesOnlyUnderTheRelocatorLock) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  home_.writeConfig(configWithDrive(drive_.path()));
  const fs::path scripts = makeStatusWritingScripts(home_);
  ASSERT_EQ(runApp(home_, {"--scripts", scripts.string(), "install"}).exitCode, 0);
  const fs::path src = home_.path() / "Archive";
  writeAwkwardTree(src, 50, 4000);
  const TreeView before = userView(src);
  auto killed = runApp(home_, {"move", src.string(), "--yes", "--stop-after=mover:copying"});
  ASSERT_EQ(killed.outcome, ProcessOutcome::kSignalled) << killed.out << killed.err;
  ASSERT_EQ(onlyPhase(home_), "copying");

  // The relocator lock held as another relocation holds it.
  fs::create_directories(home_.state() / "apps-relocator");
  auto other = FileLock::open(home_.state() / "apps-relocator" / ".lock");
  ASSERT_TRUE(other.has_value());
  ASSERT_EQ(other->tryLock(), true);
  other->recordHolder();
  resumeWithRun(home_, scripts, [&](BackgroundApp& app) {
    ASSERT_TRUE(eventually(
        [&] { return contains(app.output(), "Unfinished folder moves were not resumed yet: "); },
        30s))
        << app.output();
    std::this_thread::sleep_for(4s);  // more than one retry
    EXPECT_EQ(onlyPhase(home_), "copying");
    EXPECT_FALSE(hasEntries(relocated("Archive")));
    other->unlock();
    EXPECT_TRUE(eventually([&] { return onlyPhase(home_) == "done"; }, 30s)) << app.output();
  });
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
  EXPECT_EQ(userView(relocated("Archive")), before);
}

// What a user does after a crash.
enum class FollowUp { kMoveAgain, kResume, kRun };

struct KillPoint {
  const char* stopAfter;  // a stop point, or "" for a timed kill
  const char* verify;
  FollowUp then;
  // Timed kill: when to send SIGKILL (the folder and its copy given).
  std::function<bool(const fs::path&, const fs::path&)> when = {};
  int files = 40;
  std::size_t bytesEach = 3000;
  bool slowCopy = false;
};

// Half the folder's files are links to the copy already.
bool relinkingHalfway(const fs::path& src, const fs::path&) {
  return fs::is_symlink(src / "dir 0" / "file \"0\" é.bin") ||
         fs::is_symlink(src / "dir 6" / "file \"6\" é.bin");
}

// The copy has begun.
bool copyUnderway(const fs::path&, const fs::path& copy) {
  std::error_code ec;
  return fs::exists(copy / "dir 0", ec);
}

// The moments of the loop sampled here; bench/mover_kill_loop runs all 30.
TEST_F(MoverCommandSafety, KilledAtAnyMomentTheUsersNextStepLosesNothing) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const std::vector<KillPoint> points = {
      {"mover:claimed", "fast", FollowUp::kMoveAgain},
      {"", "fast", FollowUp::kResume, copyUnderway, 300, 7000, true},
      {"mover:hashing", "thorough", FollowUp::kMoveAgain},
      {"mover:cleaningUp", "fast", FollowUp::kRun},
      {"", "off", FollowUp::kMoveAgain, relinkingHalfway, 1500, 10},
  };
  int lostFiles = 0, counted = 0, trial = 0;
  for (const auto& point : points) {
    SCOPED_TRACE(std::string("kill after ") +
                 (*point.stopAfter ? point.stopAfter : "a timed moment"));
    TempHome home;
    prepare(home);
    home.writeConfig(configWithDrive(drive_.path()));
    const std::string name = "Killed " + std::to_string(trial++);
    const fs::path src = home.path() / name;
    writeAwkwardTree(src, point.files, point.bytesEach);
    const TreeView before = userView(src);
    counted += static_cast<int>(before.size());
    std::vector<std::string> args = {"move", src.string(), "--yes", "--verify", point.verify};
    if (*point.stopAfter) args.push_back(std::string("--stop-after=") + point.stopAfter);
    {
      BackgroundApp move(home, args, "killed.txt",
                         {{"RSYNC", point.slowCopy ? kSlowRsync : std::string()}});
      if (point.when) {
        EXPECT_TRUE(eventually([&] { return point.when(src, relocated(name)) || !move.running(); },
                               60s, 1ms));
        move.signal(SIGKILL);
      }
      EXPECT_EQ(move.wait(), 128 + SIGKILL) << move.output();
    }
    switch (point.then) {
      case FollowUp::kMoveAgain: {
        auto r = runApp(home, {"move", src.string(), "--yes"});
        EXPECT_TRUE(r.exitCode == 0 || contains(r.err, "is already on the drive"))
            << r.out << r.err;
        break;
      }
      case FollowUp::kResume: EXPECT_EQ(runApp(home, {"moves", "resume"}).exitCode, 0); break;
      case FollowUp::kRun: {
        const fs::path scripts = makeStatusWritingScripts(home);
        ASSERT_EQ(runApp(home, {"--scripts", scripts.string(), "install"}).exitCode, 0);
        resumeWithRun(home, scripts, [&](BackgroundApp& app) {
          EXPECT_TRUE(eventually([&] { return contains(app.output(), "Brimvale is running"); }))
              << app.output();
        });
        break;
      }
    }
    const int here = lostEntries(before, userView(src));
    lostFiles += here;
    EXPECT_EQ(here, 0) << runApp(home, {"move-log"}).out;
    for (const auto& m : moveRecords(home)) {
      if (m["phase"] == "done") {
        EXPECT_EQ(selfLinks(m["finalDst"].get<std::string>()), 0);
      }
    }
    fs::remove_all(working());
  }
  RecordProperty("kill_trials", trial);
  RecordProperty("files_counted", counted);
  RecordProperty("files_lost", lostFiles);
  EXPECT_EQ(lostFiles, 0);
}

}  // namespace
}  // namespace brimvale::e2e
