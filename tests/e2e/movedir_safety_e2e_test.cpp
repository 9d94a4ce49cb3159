// move-dir and rollback against what users and accidents do: system folders,
// tampered batches, programs writing during a move, kills at every step,
// pasted advice, a full state folder and a folder swapped for a link. Each
// scenario takes checksums of the user's files before and after.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/base/text_checks.h"

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

struct MoveDirScene {
  explicit MoveDirScene(const std::string& name, const std::string& size = "64m")
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
TEST(MoveDirSafetyE2E, SystemFoldersAreRefused) {
  MoveDirScene s("scope");
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
    EXPECT_TRUE(r.out.starts_with("ERR: " + target.string() + " is a system folder")) << r.out;
  }
  EXPECT_EQ(lost(before, standIn), 0);
  EXPECT_FALSE(fs::is_symlink(standIn / "data"));

  EXPECT_TRUE(!fs::exists(s.base / "Relocated") || fs::is_empty(s.base / "Relocated"));
  EXPECT_TRUE(actionRows(s.home).empty());
}

// Refusals that move nothing: a file inside held open by another program, an
// undo record that cannot be written (found after the copy, which is removed).
TEST(MoveDirSafetyE2E, WithoutItsRecordsOrWhileInUseAFolderNeverMoves) {
  MoveDirScene s("inuse");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const fs::path src = s.home.path() / "Busy \"project\"";
  makeTree(src);
  const Checksums before = checksums(src);
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
  ProcessResult busy = runBrimVale(s.home, {"move-dir", src.string()});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(busy.exitCode, 4) << busy.out;
  EXPECT_TRUE(busy.out.starts_with("ERR: directory is in use by another process.")) << busy.out;

  fs::create_directories(s.home.state() / "last-batch.tsv");
  ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()});
  EXPECT_EQ(r.exitCode, 7) << r.out;
  EXPECT_TRUE(contains(r.out, "ERR: couldn't write the undo record ")) << r.out;
  EXPECT_FALSE(fs::is_symlink(src));
  EXPECT_FALSE(fs::exists(src.string() + ".hollin-old"));
  EXPECT_EQ(lost(before, src), 0);
  EXPECT_TRUE(fs::is_empty(s.base / "Relocated"));
  EXPECT_EQ(moveRecords(s.home), 0);
  EXPECT_TRUE(actionRows(s.home).empty());
}

// SIGKILL during a move, then doctor's command pasted into a shell finishes
// it; the removal advice pasted as printed deletes the parked copy and
// nothing else, even for a name made to break a naive quoting.
TEST(MoveDirSafetyE2E, PastedDoctorAndRemovalAdviceLoseNothing) {
  MoveDirScene s("kill");
  BRIMVALE_REQUIRE_DRIVE(s.drive);
  s.prepare();
  const std::string sh = findExecutable("sh");
  const fs::path sibling = s.home.path() / "precious";
  makeTree(sibling);
  const Checksums siblingBefore = checksums(sibling);
  int trial = 0;
  for (const char* moment : {"move-dir:copying#1", "move-dir:parked", "move-dir:linked"}) {
    SCOPED_TRACE(moment);
    const fs::path src = s.home.path() / ("trial " + std::to_string(trial++) + " it's \"here\"");
    makeTree(src);
    const Checksums before = checksums(src);
    ProcessResult killed =
        runBrimVale(s.home, {"move-dir", src.string(), std::string("--stop-after=") + moment});
    EXPECT_EQ(killed.outcome, ProcessOutcome::kSignalled) << killed.out;
    ProcessResult doctor = runBrimVale(s.home, {"doctor"});
    ASSERT_TRUE(contains(doctor.out, "    brvl move-dir " + shellQuoted(src.string()) + "\n"))
        << doctor.out;
    // Pasted into a shell, with the real program standing in for the shim.
    ProcessResult r = runProcess(
        {.path = sh,
         .args = {"-c", "exec \"$0\" move-dir " + shellQuoted(src.string()), BRIM_VALE_PATH},
         .envAdditions = {{"HOME", s.home.path().string()}},
         .deadline = std::chrono::seconds(60)});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(fs::is_symlink(src));
    EXPECT_EQ(moveRecords(s.home), 0);
    EXPECT_EQ(lost(before, src), 0);
  }
  EXPECT_FALSE(contains(runBrimVale(s.home, {"doctor"}).out, "Unfinished folder relocations"));

  const fs::path src = s.home.path() / "precious\" \"x";
  makeTree(src);
  const Checksums before = checksums(src);
  ProcessResult r = runBrimVale(s.home, {"move-dir", src.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::string advice;
  for (auto line : splitLines(r.out)) {
    if (line.starts_with("  rm -rf ")) advice = std::string(line.substr(2));
  }
  ASSERT_EQ(advice, "rm -rf " + shellQuoted(src.string() + ".hollin-old"));
  EXPECT_TRUE(runProcess({.path = sh,
                          .args = {"-c", advice},
                          .deadline = std::chrono::seconds(30),
                          .workingDir = s.home.path().string()})
                  .succeeded());
  EXPECT_FALSE(fs::exists(src.string() + ".hollin-old"));
  EXPECT_EQ(lost(before, src), 0);
  EXPECT_EQ(lost(siblingBefore, sibling), 0);
}

}  // namespace
}  // namespace brimvale::e2e
