#include "service/relocation/relocation.h"

#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "service/core/action_log.h"
#include "service/relocation/move_dir_record.h"
#include "testing/context_in_temp_home.h"
#include "testing/failing_file_operations.h"
#include "testing/text_checks.h"
#include "testing/tree_view.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

using brimvale::testing::contains;

// A drive that is a plain folder the fake mount table calls mounted; only the
// fake rsync candidates are tried (none unless a test adds the real one).
class RelocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("RSYNC");
    fs::create_directories(base_);
    std::ofstream(base_ / ".hollin-managed") << "marker_version=1\n";
    env_.fake().mountPoints.insert(drive_.string());
    fs::create_directories(src_);
    std::ofstream(src_ / "f") << "data";
    // Nobody uses anything: a stand-in lsof that lists no process.
    std::ofstream(lsof_) << "#!/bin/sh\nexit 0\n";
    fs::permissions(lsof_, fs::perms::owner_all);
  }

  void expectSourceUntouched() {
    EXPECT_FALSE(fs::is_symlink(src_));
    EXPECT_EQ(readFile(src_ / "f").value_or(""), "data");
    EXPECT_FALSE(fs::exists(src_.string() + ".hollin-old"));
    EXPECT_FALSE(fs::exists(base_ / "Relocated" / src_.filename()));
    EXPECT_TRUE(readMoveDirRecords(env_.paths()).empty());
  }

  MoveDirCode move(const std::string& path) {
    return safeMoveDirToNvme(env_.load(), FolderInUseProbe(lsof_), path);
  }

  fs::path drive_ = fs::temp_directory_path() / ("bv-drive-" + std::to_string(getpid()));
  brimvale::testing::ContextInTempHome env_{"NVMe=\"" + drive_.string() + "\"\n"};
  fs::path base_ = drive_ / "BRIM-Test-Mac";
  fs::path src_ = env_.home() / "My \"Folder\"";
  fs::path lsof_ = env_.home() / "lsof-standin";
  struct DriveCleanup {
    fs::path drive;
    ~DriveCleanup() { fs::remove_all(drive); }
  } cleanup_{drive_};
};

TEST_F(RelocationTest, WithoutGnuRsyncNothingMoves) {
  EXPECT_EQ(move(src_.string()), MoveDirCode::kCopyFailed);
  EXPECT_TRUE(
      env_.out().str().ends_with("Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026\n"
                                 "ERR: GNU rsync 3.x is required for moves but isn't installed.\n"
                                 "     Apple's openrsync (/usr/bin/rsync on macOS 14+) doesn't\n"
                                 "     support --info=progress2, hard links, or all xattrs that\n"
                                 "     Brimvale relies on for safe transfers.\n\n"
                                 "     Install GNU rsync via Homebrew, then retry:\n"
                                 "         brew install rsync\n"));
  expectSourceUntouched();
}

// Given a program holding a file anywhere inside the folder, then the move is
// refused with the processes named and the tip's path quoted for a shell.
TEST_F(RelocationTest, AFolderInUseAnywhereInsideIsRefused) {
  std::ofstream(lsof_) << "#!/bin/sh\nprintf 'p4242\\nceditor\\n'\n";
  EXPECT_EQ(move(src_.string() + "//"), MoveDirCode::kInUse);
  EXPECT_EQ(env_.out().str(),
            "ERR: directory is in use by another process. Quit related apps and retry.\n"
            "     Tip: try `lsof +D '" +
                src_.string() +
                "'` to see which processes.\n"
                "     In use by: editor (pid 4242)\n");
  expectSourceUntouched();
}

TEST_F(RelocationTest, OnlyFoldersInsideTheHomeFolderMove) {
  const fs::path home = env_.home();
  fs::create_directories(home / ".ssh");
  fs::create_directories(base_ / "Relocated" / "x");
  fs::create_directory_symlink(base_ / "Relocated", home / "shortcut");
  const fs::path outside = fs::temp_directory_path() / ("bv-outside-" + std::to_string(getpid()));
  fs::create_directories(outside / "inner");
  fs::create_directory_symlink(outside, home / "leads-out");
  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {home.string(), home.string() + " is your home folder itself"},
      {(home / ".ssh").string(), (home / ".ssh").string() + " is protected"},
      {(outside / "inner").string(), " lies outside your home folder"},
      {(home / "leads-out" / "inner").string(), "is reached through a symbolic link that leads to"},
      // Reached through a linked folder, a folder on the drive is still on it.
      {(home / "shortcut" / "x").string(),
       "ERR: path is already on NVMe: " + (home / "shortcut" / "x").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    env_.out().str("");
    EXPECT_EQ(move(c.path), MoveDirCode::kInvalidRequest);
    EXPECT_TRUE(env_.out().str().starts_with("ERR: ")) << env_.out().str();
    EXPECT_TRUE(contains(env_.out().str(), c.message)) << env_.out().str();
  }
  EXPECT_TRUE(fs::is_directory(base_ / "Relocated" / "x"));
  EXPECT_TRUE(fs::is_directory(outside / "inner"));
  EXPECT_TRUE(
      contains(readFile(env_.paths().log).value_or(""), "move-dir refused: " + home.string()));
  fs::remove_all(outside);
}

// A record is state read from disk: one naming a copy outside Relocated/ or a
// parked name that is not the folder's sibling is refused, nothing touched.
TEST_F(RelocationTest, ARecordNamingForeignPlacesIsRefused) {
  const fs::path foreign = env_.home() / "Documents";
  fs::create_directories(foreign);
  std::ofstream(foreign / "keep.txt") << "mine";
  struct stat st {};
  ASSERT_EQ(::lstat(src_.c_str(), &st), 0);
  MoveDirRecord base{.id = "1-1",
                     .src = src_,
                     .target = base_ / "Relocated" / src_.filename(),
                     .parked = src_.string() + ".hollin-old",
                     .device = static_cast<std::uint64_t>(st.st_dev),
                     .inode = static_cast<std::uint64_t>(st.st_ino),
                     .bytes = 4,
                     .phase = MoveDirPhase::kParked,
                     .started = 1};
  MoveDirRecord badTarget = base;
  badTarget.target = foreign;
  MoveDirRecord badParked = base;
  badParked.parked = foreign;
  MoveDirRecord otherName = base;
  otherName.target = base_ / "Relocated" / "someone-else";
  for (const auto& record : {badTarget, badParked, otherName}) {
    SCOPED_TRACE(record.target.string() + " " + record.parked.string());
    ASSERT_TRUE(writeMoveDirRecord(env_.paths(), record));
    env_.out().str("");
    EXPECT_EQ(move(src_.string()), MoveDirCode::kInvalidRequest);
    EXPECT_TRUE(contains(env_.out().str(), "which that relocation would not have made"))
        << env_.out().str();
    EXPECT_EQ(readFile(foreign / "keep.txt").value_or(""), "mine");
    EXPECT_EQ(readFile(src_ / "f").value_or(""), "data");
    EXPECT_EQ(readMoveDirRecords(env_.paths()).size(), 1u) << "kept for a person to look at";
  }
}

// Given the undo record cannot be written, then the copy is removed and the
// folder never moves.
TEST_F(RelocationTest, NoUndoRecordNoMove) {
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  env_.fake().rsyncCandidates = {rsync};
  fs::create_directories(env_.paths().lastBatch);  // appending to it fails
  EXPECT_EQ(move(src_.string()), MoveDirCode::kParkFailed);
  const std::string out = env_.out().str();
  EXPECT_TRUE(
      contains(out, "ERR: couldn't write the undo record " + env_.paths().lastBatch.string()))
      << out;
  EXPECT_TRUE(contains(out, "Your folder is untouched at " + src_.string())) << out;
  expectSourceUntouched();
}

TEST_F(RelocationTest, DoctorShowsEachUnfinishedMoveWithItsCommand) {
  EXPECT_EQ(unfinishedRelocationsReport(env_.load()), "");
  const fs::path parked = src_.string() + ".hollin-old";
  struct stat st {};
  ASSERT_EQ(::lstat(src_.c_str(), &st), 0);
  fs::rename(src_, parked);
  ASSERT_TRUE(writeMoveDirRecord(env_.paths(), {.id = "1-1",
                                                .src = src_,
                                                .target = base_ / "Relocated" / src_.filename(),
                                                .parked = parked,
                                                .device = static_cast<std::uint64_t>(st.st_dev),
                                                .inode = static_cast<std::uint64_t>(st.st_ino),
                                                .phase = MoveDirPhase::kParked,
                                                .started = 1}));
  const std::string report = unfinishedRelocationsReport(env_.load());
  EXPECT_TRUE(contains(report, "your folder is parked at " + parked.string())) << report;
  EXPECT_TRUE(report.ends_with("    brvl move-dir '" + src_.string() + "'\n")) << report;
}

// Given the disk refusing one step between parking and linking, then the
// person is told what happened and where their data is, nothing is lost, and
// the next run (with the disk working again) finishes the move, still losing
// nothing.
TEST_F(RelocationTest, AFailureBetweenParkAndLinkLosesNothingAndSaysSo) {
  using testing::FileOp;
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  env_.fake().rsyncCandidates = {rsync};
  testing::writeAwkwardTree(src_, 12, 300, 3);
  const testing::TreeView before = testing::userView(src_);
  struct Fault {
    FileOp op;
    std::string pathPart;
    int err;
  };
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    MoveDirCode code;
    std::vector<std::string> said;
  };
  const std::string parked = src_.string() + ".hollin-old";
  const std::vector<Case> cases = {
      {"park: no space",
       {{FileOp::kRenameNoReplace, src_.string(), ENOSPC}},
       MoveDirCode::kParkFailed,
       {"ERR: couldn't move original out of the way\n", std::strerror(ENOSPC),
        "Your folder is untouched; the copy on the drive was removed.\n"}},
      {"park: other volume",
       {{FileOp::kRenameNoReplace, src_.string(), EXDEV}},
       MoveDirCode::kParkFailed,
       {std::strerror(EXDEV), "Your folder is untouched; the copy on the drive was removed.\n"}},
      {"link: not allowed",
       {{FileOp::kCreateDirectorySymlink, src_.string(), EACCES}},
       MoveDirCode::kLinkFailed,
       {"ERR: couldn't create symlink; restoring original from " + parked, std::strerror(EACCES),
        "Your folder is back at " + src_.string() + "; nothing was moved.\n"}},
      {"link: name too long",
       {{FileOp::kCreateDirectorySymlink, src_.string(), ENAMETOOLONG}},
       MoveDirCode::kLinkFailed,
       {std::strerror(ENAMETOOLONG), "Your folder is back at " + src_.string()}},
      {"link and the way back both refused",
       {{FileOp::kCreateDirectorySymlink, src_.string(), ENOSPC},
        {FileOp::kRenameNoReplace, parked, EACCES}},
       MoveDirCode::kLinkFailed,
       {"ERR: couldn't move the original back either. Your data is safe: the original is at " +
        parked}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    env_.out().str("");
    testing::FailingFileOperations files;
    for (const auto& f : c.faults) files.failFirst(f.op, f.pathPart, f.err);
    EXPECT_EQ(safeMoveDirToNvme(env_.load(), FolderInUseProbe(lsof_), src_.string(), files),
              c.code);
    EXPECT_EQ(files.injected(), static_cast<int>(c.faults.size()));
    const std::string out = env_.out().str();
    for (const auto& s : c.said) EXPECT_TRUE(contains(out, s)) << s << "\nin:\n" << out;
    const fs::path where = fs::exists(src_) ? src_ : fs::path(parked);
    EXPECT_EQ(testing::lostEntries(before, testing::userView(where)), 0);

    // The next run finishes the move (or moves it afresh) with nothing lost.
    env_.out().str("");
    ASSERT_EQ(move(src_.string()), MoveDirCode::kRelocated) << env_.out().str();
    EXPECT_TRUE(fs::is_symlink(src_));
    EXPECT_EQ(testing::lostEntries(before, testing::userView(src_)), 0);
    // Back to a plain folder for the next case.
    const fs::path target = fs::read_symlink(src_);
    fs::remove(src_);
    fs::rename(parked, src_);
    fs::remove_all(target);
    ASSERT_EQ(testing::lostEntries(before, testing::userView(src_)), 0);
  }
}

// Given runs that stop at different points, then the outcome carries what
// happened as fields and the run itself prints no report line: the report is
// the renderer's alone.
TEST_F(RelocationTest, TheOutcomeRecordsWhatHappenedAndTheRunDoesNotSayIt) {
  std::ofstream(env_.home() / "a file") << "x";
  fs::create_directory_symlink(src_, env_.home() / "a link");
  struct Case {
    std::string path;
    MoveDirCode code;
    std::string reason;
    std::size_t details;
  };
  const std::vector<Case> cases = {
      {"", MoveDirCode::kInvalidRequest, "no path provided", 0},
      {(env_.home() / "gone").string(), MoveDirCode::kInvalidRequest,
       "source missing: " + (env_.home() / "gone").string(), 0},
      {(env_.home() / "a link").string(), MoveDirCode::kInvalidRequest,
       "already a symlink (already relocated?): " + (env_.home() / "a link").string(), 0},
      {(env_.home() / "a file").string(), MoveDirCode::kInvalidRequest,
       "not a directory: " + (env_.home() / "a file").string(), 0},
      {src_.string(), MoveDirCode::kCopyFailed,
       "GNU rsync 3.x is required for moves but isn't installed.", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    env_.out().str("");
    const MoveDirOutcome o = moveDirToNvme(env_.load(), FolderInUseProbe(lsof_), c.path);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.reason, c.reason);
    EXPECT_EQ(o.details.size(), c.details);
    EXPECT_EQ(o.putBack, PutBack::kNotNeeded);
    EXPECT_FALSE(contains(env_.out().str(), "ERR:")) << env_.out().str();
  }
  expectSourceUntouched();
}

// Given a link the disk refuses, then the outcome names the paths, the
// cause and that the original went back.
TEST_F(RelocationTest, AFailedLinkIsRecordedWithThePathsAndThePutBack) {
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  env_.fake().rsyncCandidates = {rsync};
  testing::FailingFileOperations files;
  files.failFirst(testing::FileOp::kCreateDirectorySymlink, src_.string(), EACCES);
  const MoveDirOutcome o =
      moveDirToNvme(env_.load(), FolderInUseProbe(lsof_), src_.string(), files);
  EXPECT_EQ(o.code, MoveDirCode::kLinkFailed);
  EXPECT_EQ(o.src, src_);
  EXPECT_EQ(o.target, base_ / "Relocated" / src_.filename());
  EXPECT_EQ(o.parked, src_.string() + ".hollin-old");
  EXPECT_EQ(o.bytes, bytesOf(src_.string()));
  EXPECT_EQ(o.reason, "couldn't create symlink; restoring original from " + o.parked.string());
  EXPECT_EQ(o.details, std::vector<std::string>{std::string(std::strerror(EACCES)) + "."});
  EXPECT_EQ(o.putBack, PutBack::kDone);
  expectSourceUntouched();
}

// The whole output and exit code of a refusal and of a successful move,
// with a stand-in rsync that copies like the real one but shows no
// progress, so the output does not depend on timing.
TEST_F(RelocationTest, GoldenOutputOfARefusalAndASuccessfulMove) {
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  const fs::path quiet = env_.home() / "quiet-rsync";
  std::ofstream(quiet) << "#!/bin/sh\n"
                          "for a in \"$@\"; do\n"
                          "  [ \"$a\" = --info=progress2 ] && exec " +
                              rsync +
                              " \"$@\" >/dev/null\n"
                              "done\n"
                              "exec " +
                              rsync + " \"$@\"\n";
  fs::permissions(quiet, fs::perms::owner_all);
  env_.fake().rsyncCandidates = {quiet.string()};
  std::ofstream(env_.home() / "notes.txt") << "n";

  auto run = [&](const fs::path& path) {
    env_.out().str("");
    const int code =
        static_cast<int>(safeMoveDirToNvme(env_.load(), FolderInUseProbe(lsof_), path.string()));
    return std::to_string(code) + "\n" + env_.out().str();
  };
  const std::string notes = (env_.home() / "notes.txt").string();
  EXPECT_EQ(run(env_.home() / "notes.txt"), "2\nERR: not a directory: " + notes + "\n");

  const std::string s = src_.string(), t = (base_ / "Relocated" / src_.filename()).string(),
                    p = s + ".hollin-old";
  const std::string rule(66, '-');
  const std::string size = std::to_string(bytesOf(s).value());  // as the file system counts
  std::string expected = "0\n";
  for (const std::string& line : {
           "Source: " + s,
           "Target: " + t,
           "Size:   " + size + " bytes",
           std::string(),
           std::string("Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026"),
           std::string("  copy complete"),
           std::string(),
           "Step 2/3 \u2014 parking original at " + p,
           std::string("  the copy matches the parked original"),
           std::string(),
           std::string("Step 3/3 \u2014 creating symlink"),
           "[" + ts(brimvale::testing::ContextInTempHome::kNow) + "] relocate: " + s + " -> " + t +
               " (" + size + " bytes; parked original at " + p + ")",
           std::string(),
           rule,
           "OK: relocated " + s + " (" + size + " bytes)",
           "Bytes now live on NVMe at: " + t,
           "Original parked at:        " + p,
           std::string(),
           std::string("The app(s) using this directory will continue to work \u2014 the path"),
           std::string("is now a symlink. Once you've verified everything works, you can"),
           std::string("delete the parked backup to reclaim its disk:"),
           "  rm -rf '" + p + "'",
           rule,
       }) {
    expected += line + "\n";
  }
  EXPECT_EQ(run(src_), expected);
}

}  // namespace
}  // namespace brimvale::service
