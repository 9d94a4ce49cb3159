// move-dir and rollback against what users and accidents do: system folders,
// tampered batches, programs writing during a move, kills at every step,
// pasted advice, a full state folder and a folder swapped for a link. Each
// scenario takes checksums of the user's files before and after.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

std::string driveName(const std::string& what) {
  return "e2e-md-" + what + "-" + std::to_string(getpid());
}

using brimvale::testing::contains;

// Files and links below `root` (a link at `root` itself is followed, as a
// program using the path would).
using Checksums = TreeSums;

Checksums checksums(const fs::path& root) { return treeSums(root, Folders::kLeftOut); }

// Files of `before` not found with the same checksum below `root`.
int lost(const Checksums& before, const fs::path& root) {
  const Checksums after = checksums(root);
  int missing = 0;
  for (const auto& [rel, sum] : before) {
    auto it = after.find(rel);
    if (it == after.end() || it->second != sum) {
      ADD_FAILURE() << "lost or changed: " << (root / rel).string();
      ++missing;
    }
  }
  return missing;
}

// Awkward names at several depths, a few larger files so the copy takes a
// while, and a link inside.
void makeTree(const fs::path& root) {
  for (const auto& name : awkwardNames()) {
    writeAgedFile(root / name, "top " + name, 0);
    writeAgedFile(root / "nested dir" / "deeper" / name, "deep " + name, 0);
  }
  for (int i = 0; i < 24; ++i) {
    writeAgedFile(root / "bulk" / ("part " + std::to_string(i)),
                  std::string(96 << 10, static_cast<char>('a' + i)), 0);
  }
  fs::create_symlink("nested dir/deeper/plain.txt", root / "link to plain");
}

bool hasEntryStartingWith(const fs::path& folder, const std::string& prefix) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(prefix)) return true;
  }
  return false;
}

// Records of unfinished moves (state/move-dir/*.kv).
int moveRecords(const TempHome& home) {
  int count = 0;
  std::error_code ec;
  for (fs::directory_iterator it(home.state() / "move-dir", ec), end; !ec && it != end;
       it.increment(ec)) {
    count += it->path().extension() == ".kv";
  }
  return count;
}

struct Scene {
  explicit Scene(const std::string& name, const std::string& size = "64m")
      : drive(driveName(name), size) {}
  void prepare() {
    home.writeConfig(configWithDrive(drive.path()));
    base = prepareDrive(home, drive.path());
  }
  TmpfsDrive drive;
  TempHome home;
  fs::path base;
};

// A user who runs `rm -rf` with one of these as its argument... never: every
// scenario keeps to the temporary home and drive, except the system-folder
// case, which runs in a child's own mount namespace over a bind mount.
TEST(MoveDirSafetyE2E, SystemFoldersAndFoldersOutsideHomeAreRefused) {
  Scene s("scope");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const std::string unshare = findExecutable("unshare");
  const std::string sh = findExecutable("sh");
  fs::path system;
  for (const char* candidate : {"/srv", "/opt", "/mnt"}) {
    if (fs::is_directory(candidate) && !fs::is_symlink(candidate)) {
      system = candidate;
      break;
    }
  }
  ASSERT_FALSE(unshare.empty() || sh.empty() || system.empty())
      << "unshare, sh and a system folder are needed";
  // The stand-in for the system folder: only the child sees it there.
  const fs::path standIn = s.home.path() / "stand-in for a system folder";
  makeTree(standIn / "data");
  const Checksums before = checksums(standIn);

  for (const fs::path& target : {system, system / "data"}) {
    SCOPED_TRACE(target.string());
    ProcessResult r = runProcess(
        {.path = unshare,
         .args = {"--mount", "--propagation", "private", sh, "-c",
                  "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"", "sh", standIn.string(),
                  system.string(), BRIM_VALE_PATH, "move-dir", target.string()},
         .envAdditions = {{"HOME", s.home.path().string()}},
         .deadline = std::chrono::seconds(60)});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_EQ(
        r.out,
        "ERR: " + target.string() +
            " is a system folder, and Brimvale never moves or deletes system folders. Nothing was "
            "changed.\n");
  }
  EXPECT_EQ(lost(before, standIn), 0);
  EXPECT_FALSE(fs::is_symlink(standIn / "data"));

  // In this namespace: the home folder itself, a credentials folder, a
  // folder outside the home folder.
  writeAgedFile(s.home.path() / ".ssh" / "id_ed25519", "secret", 0);
  TempHome elsewhere;
  makeTree(elsewhere.path() / "theirs");
  const Checksums theirs = checksums(elsewhere.path());
  struct Case {
    fs::path path;
    std::string says;
  };
  const Case cases[] = {
      {s.home.path(), " is your home folder itself"},
      {s.home.path() / ".ssh", " is protected ("},
      {elsewhere.path() / "theirs", " lies outside your home folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    ProcessResult r = runBrimVale(s.home, {"move-dir", c.path.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_TRUE(r.out.starts_with("ERR: " + c.path.string() + c.says)) << r.out;
    EXPECT_TRUE(r.out.ends_with("Nothing was changed.\n")) << r.out;
  }
  EXPECT_EQ(readFile(s.home.path() / ".ssh" / "id_ed25519").value_or(""), "secret");
  EXPECT_EQ(lost(theirs, elsewhere.path()), 0);
  EXPECT_TRUE(!fs::exists(s.base / "Relocated") || fs::is_empty(s.base / "Relocated"));
  EXPECT_TRUE(actionRows(s.home).empty());
  EXPECT_TRUE(contains(readFile(s.home.path() / ".brimvale" / "brim-vale.log").value_or(""),
                       "move-dir refused: "));
}

// Archives a folder and a file through an archive rule, so the batch holds
// two `move` rows across volumes (the home is on another file system).
struct ArchivedScene : Scene {
  explicit ArchivedScene(const std::string& name) : Scene(name) {}
  void archive() {
    home.writeConfig(configWithDrive(
        drive.path(), "RULES=(\n  \"archive_old | $HOME/Old | Downloads-Archive | 30 | \"\n)\n"));
    base = prepareDrive(home, drive.path());
    old = home.path() / "Old";
    makeTree(old / "project");
    for (fs::recursive_directory_iterator it(old / "project"), end; it != end; ++it) {
      if (!it->is_symlink()) ageBy(it->path(), 60);
    }
    ageBy(old / "project", 60);
    writeAgedFile(old / "report.pdf", "the report", 60);
    before = checksums(old);
    ProcessResult run = runBrimVale(home, {"relocate-now"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_FALSE(fs::exists(old / "project"));
    ASSERT_EQ(readLastLines(home.state() / "last-batch.tsv", 10).size(), 2u);
  }
  fs::path old;
  Checksums before;
};

// Rows pointing outside what rollback may move are refused, said, logged and
// kept; the count announced is the rows it will really try.
TEST(MoveDirSafetyE2E, RollbackChecksEveryRowAndCountsOnlyWhatItReverses) {
  ArchivedScene s("rbpolicy");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  ASSERT_NO_FATAL_FAILURE(s.archive());
  TempHome elsewhere;
  makeTree(elsewhere.path() / "precious");
  const Checksums theirs = checksums(elsewhere.path());
  std::string batch = readFile(s.home.state() / "last-batch.tsv").value();
  batch += "move\t" + (s.home.path() / "stolen").string() + "\t" +
           (elsewhere.path() / "precious").string() + "\t1\n";
  batch += "move\t" + (s.base / "Downloads-Archive" / "x").string() + "\t" +
           (s.home.path() / "Old").string() + "\t1\n";
  batch += "delete\t" + (s.home.path() / "gone.txt").string() + "\t-\t1\n";
  ASSERT_TRUE(writeFileAtomically(s.home.state() / "last-batch.tsv", batch));

  ProcessResult r = runBrimVale(s.home, {"rollback", "--yes"});
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_TRUE(r.out.starts_with("Will reverse 2 action(s):\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Won't reverse 3 action(s):\n")) << r.out;
  EXPECT_TRUE(contains(
      r.out, "rollback refused: " + (elsewhere.path() / "precious").string() + " lies outside"));
  EXPECT_TRUE(
      contains(r.out, "rollback refused: " + (s.base / "Downloads-Archive" / "x").string()));
  EXPECT_TRUE(contains(r.out, "Reversed: 2.  Skipped: 1.\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Kept in the batch: 2 action(s)")) << r.out;
  EXPECT_TRUE(contains(readFile(s.home.path() / ".brimvale" / "brim-vale.log").value_or(""),
                       "rollback refused: "));
  EXPECT_EQ(lost(theirs, elsewhere.path()), 0);
  EXPECT_EQ(lost(s.before, s.old), 0) << "the archived items are back";
  EXPECT_FALSE(fs::exists(s.home.path() / "stolen"));
  EXPECT_EQ(readLastLines(s.home.state() / "last-batch.tsv", 10).size(), 2u)
      << "the refused rows stay";
}

// A rollback killed while copying, between its renames or between rows is
// finished by the next rollback: nothing lost, nothing left over.
TEST(MoveDirSafetyE2E, RollbackKilledAtAnyMomentIsFinishedByTheNextOne) {
  int lostFiles = 0;
  const char* moments[] = {"rollback:copying#3", "rollback:copied", "rollback:set-aside",
                           "rollback:placed", "rollback:row#1"};
  for (const char* moment : moments) {
    SCOPED_TRACE(moment);
    ArchivedScene s("rbkill");
    BRIMVALE_REQUIRE_DRIVE(s.drive);
    ASSERT_NO_FATAL_FAILURE(s.archive());
    ProcessResult killed =
        runBrimVale(s.home, {"rollback", "--yes", std::string("--stop-after=") + moment});
    EXPECT_EQ(killed.outcome, ProcessOutcome::kSignalled) << killed.out;
    ProcessResult again = runBrimVale(s.home, {"rollback", "--yes"});
    EXPECT_EQ(again.exitCode, 0) << again.out;
    lostFiles += lost(s.before, s.old);
    EXPECT_FALSE(hasEntryStartingWith(s.home.path(), ".brimvale-rollback-"));
    EXPECT_FALSE(hasEntryStartingWith(s.base, ".brimvale-rolled-back-"));
    EXPECT_FALSE(fs::exists(s.base / "Downloads-Archive" / "project"));
    EXPECT_EQ(readFile(s.home.state() / "last-batch.tsv").value_or("?"), "");
  }
  std::cout << "rollback kill loop: " << std::size(moments) << " trials, " << lostFiles
            << " files lost\n";
  EXPECT_EQ(lostFiles, 0);
}

// A program holding any file inside open stops the move; writes that land in
// the parked original after the copy are copied again before the link.
TEST(MoveDirSafetyE2E, WritesInsideTheFolderAreNeverLeftBehind) {
  Scene s("inuse");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const fs::path src = s.home.path() / "Busy \"project\"";
  makeTree(src);

  // Held open deep inside by another process.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open((src / "nested dir" / "deeper" / "plain.txt").c_str(), O_RDONLY);
    (void)!write(ready[1], "r", 1);
    pause();
    _exit(fd < 0);
  }
  char c = 0;
  (void)!read(ready[0], &c, 1);
  close(ready[0]);
  close(ready[1]);
  const Checksums before = checksums(src);
  ProcessResult busy = runBrimVale(s.home, {"move-dir", src.string()});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(busy.exitCode, 4) << busy.out;
  EXPECT_TRUE(busy.out.starts_with(
      "ERR: directory is in use by another process. Quit related apps and retry.\n"
      "     Tip: try `lsof +D " +
      shellQuoted(src.string()) +
      "` to see which processes.\n"
      "     In use by: "))
      << busy.out;
  EXPECT_FALSE(fs::is_symlink(src));
  EXPECT_EQ(lost(before, src), 0);

  // A write into the parked original, after the copy and before the link.
  ProcessResult stopped =
      runBrimVale(s.home, {"move-dir", src.string(), "--stop-after=move-dir:parked"});
  ASSERT_EQ(stopped.outcome, ProcessOutcome::kSignalled) << stopped.out;
  const fs::path parked = src.string() + ".hollin-old";
  { std::ofstream(parked / "bulk" / "part 3", std::ios::app) << "written late"; }
  writeAgedFile(parked / "new late file", "late", 0);
  const Checksums withLate = checksums(parked);
  ProcessResult finished = runBrimVale(s.home, {"move-dir", src.string()});
  ASSERT_EQ(finished.exitCode, 0) << finished.out;
  EXPECT_TRUE(contains(finished.out,
                       "late changes copied again; the copy now matches the parked original"));
  EXPECT_TRUE(fs::is_symlink(src));
  EXPECT_EQ(lost(withLate, src), 0);
  EXPECT_EQ(checksums(parked), checksums(src)) << "the parked backup holds nothing the copy lacks";

  // A program appending line by line, opening the file each time, while
  // another folder moves: every line it wrote is at the original path.
  // The tree is older than the move, so only the appends show as changes.
  const fs::path logged = s.home.path() / "Logging app";
  makeTree(logged);
  { std::ofstream(logged / "log.txt") << "started\n"; }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  std::atomic<bool> stop{false};
  std::vector<int> written;
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      const int fd =
          open((logged / "log.txt").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) continue;  // between parking and linking the path is briefly missing
      const std::string line = "line " + std::to_string(i) + "\n";
      if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
        written.push_back(i);
      close(fd);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ProcessResult moving = runBrimVale(s.home, {"move-dir", logged.string()});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  writer.join();
  EXPECT_TRUE(moving.exitCode == 0 || moving.exitCode == 4) << moving.out;
  const std::string log = readFile(logged / "log.txt").value_or("");
  int missing = 0;
  for (int i : written) missing += !contains(log, "line " + std::to_string(i) + "\n");
  EXPECT_EQ(missing, 0) << "of " << written.size() << " lines; move-dir said:\n" << moving.out;
}

// SIGKILL at ten moments of a move, then what a user does: run it again, or
// run doctor and paste the command it shows.
TEST(MoveDirSafetyE2E, KilledAtTenMomentsThenReRunOrDoctorLosesNothing) {
  Scene s("kill");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const std::string sh = findExecutable("sh");
  const char* moments[] = {
      "move-dir:record-written", "move-dir:copying#1", "move-dir:copying#2", "move-dir:copied",
      "move-dir:undo-recorded",  "move-dir:parked",    "move-dir:compared",  "move-dir:linked",
      "move-dir:finished",       "move-dir:copying#3"};
  int lostFiles = 0;
  int trial = 0;
  for (const char* moment : moments) {
    SCOPED_TRACE(moment);
    const bool viaDoctor = trial++ % 2 == 1;
    const fs::path src = s.home.path() / ("trial " + std::to_string(trial) + " it's \"here\"");
    makeTree(src);
    const Checksums before = checksums(src);
    ProcessResult killed =
        runBrimVale(s.home, {"move-dir", src.string(), std::string("--stop-after=") + moment});
    EXPECT_EQ(killed.outcome, ProcessOutcome::kSignalled) << killed.out;

    ProcessResult recovered;
    if (viaDoctor) {
      ProcessResult doctor = runBrimVale(s.home, {"doctor"});
      const std::string command = "    brvl move-dir " + shellQuoted(src.string()) + "\n";
      if (std::string(moment) == "move-dir:finished") {
        EXPECT_FALSE(contains(doctor.out, "Unfinished folder relocations")) << doctor.out;
      } else {
        ASSERT_TRUE(contains(doctor.out, command)) << doctor.out;
        // Pasted into a shell, with the real program standing in for the shim.
        recovered = runProcess(
            {.path = sh,
             .args = {"-c", "exec \"$0\" move-dir " + shellQuoted(src.string()), BRIM_VALE_PATH},
             .envAdditions = {{"HOME", s.home.path().string()}},
             .deadline = std::chrono::seconds(60)});
      }
    } else {
      recovered = runBrimVale(s.home, {"move-dir", src.string()});
    }
    if (std::string(moment) == "move-dir:finished") {
      EXPECT_TRUE(recovered.outcome != ProcessOutcome::kExited || recovered.exitCode == 2)
          << recovered.out;
    } else {
      EXPECT_EQ(recovered.exitCode, 0) << recovered.out;
      EXPECT_TRUE(contains(recovered.out, "OK: relocated " + src.string())) << recovered.out;
    }
    EXPECT_TRUE(fs::is_symlink(src));
    EXPECT_EQ(moveRecords(s.home), 0);
    lostFiles += lost(before, src);
    EXPECT_EQ(checksums(src.string() + ".hollin-old"), checksums(src));
  }
  ProcessResult doctor = runBrimVale(s.home, {"doctor"});
  EXPECT_FALSE(contains(doctor.out, "Unfinished folder relocations")) << doctor.out;
  std::cout << "move-dir kill loop: " << std::size(moments) << " trials, " << lostFiles
            << " files lost\n";
  EXPECT_EQ(lostFiles, 0);
}

// The advice pasted as printed deletes the parked copy and nothing else,
// even for a name made to break a naive quoting.
TEST(MoveDirSafetyE2E, PastedRemovalAdviceDeletesOnlyTheParkedCopy) {
  Scene s("quote");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const fs::path sibling = s.home.path() / "precious";
  makeTree(sibling);
  const fs::path src = s.home.path() / "precious\" \"x";
  makeTree(src);
  const Checksums siblingBefore = checksums(sibling);
  const Checksums before = checksums(src);
  ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::string advice;
  for (auto line : splitLines(r.out)) {
    if (line.starts_with("  rm -rf ")) advice = std::string(line.substr(2));
  }
  ASSERT_EQ(advice, "rm -rf " + shellQuoted(src.string() + ".hollin-old"));
  ProcessResult pasted = runProcess({.path = findExecutable("sh"),
                                     .args = {"-c", advice},
                                     .deadline = std::chrono::seconds(30),
                                     .workingDir = s.home.path().string()});
  EXPECT_TRUE(pasted.succeeded()) << pasted.err;
  EXPECT_FALSE(fs::exists(src.string() + ".hollin-old"));
  EXPECT_EQ(lost(siblingBefore, sibling), 0);
  EXPECT_EQ(lost(before, src), 0);
}

// Without a place to record the move and its undo, nothing moves.
TEST(MoveDirSafetyE2E, WithoutItsRecordsAFolderNeverMoves) {
  Scene s("full");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const fs::path src = s.home.path() / "Photos";
  makeTree(src);
  const Checksums before = checksums(src);
  {
    TmpfsMount state(s.home.state(), "128k");
    ASSERT_TRUE(state.mounted());
    std::ofstream fill(s.home.state() / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 64 && fill.write(block.data(), block.size()) && fill.flush(); ++i) {
    }
    ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()});
    EXPECT_EQ(r.exitCode, 6) << r.out;
    EXPECT_TRUE(contains(r.out, "ERR: couldn't write the record of this move")) << r.out;
    EXPECT_TRUE(contains(r.out, "Nothing was moved; your folder is untouched.")) << r.out;
  }
  EXPECT_FALSE(fs::is_symlink(src));
  EXPECT_EQ(lost(before, src), 0);
  EXPECT_TRUE(!fs::exists(s.base / "Relocated") || fs::is_empty(s.base / "Relocated"));

  // The undo record alone unwritable: found after the copy, which is removed.
  fs::create_directories(s.home.state() / "last-batch.tsv");
  ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()});
  EXPECT_EQ(r.exitCode, 7) << r.out;
  EXPECT_TRUE(contains(
      r.out, "ERR: couldn't write the undo record " + (s.home.state() / "last-batch.tsv").string()))
      << r.out;
  EXPECT_FALSE(fs::is_symlink(src));
  EXPECT_FALSE(fs::exists(src.string() + ".hollin-old"));
  EXPECT_EQ(lost(before, src), 0);
  EXPECT_TRUE(fs::is_empty(s.base / "Relocated"));
  EXPECT_EQ(moveRecords(s.home), 0);
  EXPECT_TRUE(actionRows(s.home).empty());
}

// A stand-in rsync that swaps the folder for a link to another folder as the
// copy starts (and, when asked, swaps it back when the copy ends).
fs::path swappingRsync(const TempHome& home) {
  const fs::path script = home.path() / "swapping-rsync";
  std::ofstream(script)
      << "#!/bin/sh\n"
         "case \"$1\" in --version) exec \"$REAL_RSYNC\" \"$@\";; esac\n"
         "if [ ! -e \"$SWAP_DONE\" ]; then\n"
         "  : > \"$SWAP_DONE\"\n"
         "  mv \"$SWAP_FOLDER\" \"$SWAP_AWAY\" && ln -s \"$SWAP_FOREIGN\" \"$SWAP_FOLDER\"\n"
         "  \"$REAL_RSYNC\" \"$@\"; rc=$?\n"
         "  if [ -n \"$SWAP_BACK\" ]; then rm \"$SWAP_FOLDER\" && mv \"$SWAP_AWAY\" "
         "\"$SWAP_FOLDER\"; fi\n"
         "  exit $rc\n"
         "fi\n"
         "exec \"$REAL_RSYNC\" \"$@\"\n";
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

// A folder swapped for a link between the checks and the copy never ends up
// linked to the other folder's copy, and nothing of either folder is lost.
TEST(MoveDirSafetyE2E, AFolderSwappedForALinkIsNeverLinkedToAForeignCopy) {
  for (const bool swapBack : {false, true}) {
    SCOPED_TRACE(swapBack ? "swapped back before parking" : "left swapped");
    Scene s(swapBack ? "swapback" : "swap");
    BRIMVALE_REQUIRE_DRIVE(s.drive);
    s.prepare();
    const fs::path src = s.home.path() / "Mine";
    const fs::path away = s.home.path() / "Mine moved away";
    const fs::path foreign = s.home.path() / "Someone else's";
    makeTree(src);
    writeAgedFile(foreign / "foreign only.txt", "not mine", 0);
    const Checksums mine = checksums(src);
    const Checksums theirs = checksums(foreign);
    std::vector<std::pair<std::string, std::string>> env{
        {"RSYNC", swappingRsync(s.home).string()},
        {"REAL_RSYNC", findExecutable("rsync")},
        {"SWAP_DONE", (s.home.path() / "swapped").string()},
        {"SWAP_FOLDER", src.string()},
        {"SWAP_AWAY", away.string()},
        {"SWAP_FOREIGN", foreign.string()}};
    if (swapBack) env.emplace_back("SWAP_BACK", "1");
    ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()}, env);
    EXPECT_EQ(lost(theirs, foreign), 0);
    if (!swapBack) {
      EXPECT_EQ(r.exitCode, 2) << r.out;
      EXPECT_TRUE(contains(r.out, "was replaced while it was being copied, so it was not moved"))
          << r.out;
      EXPECT_EQ(fs::read_symlink(src), foreign) << "what was put there is left as it is";
      EXPECT_EQ(lost(mine, away), 0);
      EXPECT_TRUE(fs::is_empty(s.base / "Relocated")) << "the foreign copy was removed";
    } else {
      ASSERT_EQ(r.exitCode, 0) << r.out;
      EXPECT_TRUE(contains(r.out, "late changes copied again")) << r.out;
      const fs::path target = fs::read_symlink(src);
      EXPECT_EQ(checksums(target), mine) << "the copy holds the user's folder and nothing else";
      EXPECT_FALSE(fs::exists(target / "foreign only.txt"));
      EXPECT_EQ(lost(mine, src), 0);
    }
    EXPECT_TRUE(readLastLines(s.home.state() / "last-batch.tsv", 5).size() == (swapBack ? 1u : 0u));
  }
}

}  // namespace
}  // namespace brimvale::e2e
