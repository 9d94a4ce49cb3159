#include "service/relocation/rollback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/base/file_io.h"
#include "service/core/action_log.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/text_checks.h"
#include "testing/base/tree_view.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

using brimvale::testing::contains;

Result<void> replaceBatch(const StatePaths& paths, const std::vector<ActionRow>& rows) {
  return editLastBatch(paths, [&](std::vector<ActionRow>& batch) { batch = rows; });
}

// A working folder in a plain temporary folder; an archived file in it.
class RollbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(archive_);
    std::ofstream(base_ / ".hollin-managed") << "marker_version=1\n";
    std::ofstream(archive_ / "a.txt") << "a";
    ASSERT_TRUE(
        recordAction(env_.paths(), 0,
                     {"move", (home() / "a.txt").string(), (archive_ / "a.txt").string(), 4096}));
    ASSERT_TRUE(
        recordAction(env_.paths(), 0, {"delete-cache", (home() / "c" / "x").string(), "-", 1}));
    ASSERT_TRUE(recordAction(env_.paths(), 0, {"relocate", "/r", "/n/r", 1}));
  }
  const fs::path& home() const { return env_.home(); }
  int rollback(Confirmation confirmation, const std::string& answer = "") {
    std::istringstream in(answer);
    return rollbackBatch(env_.load(), confirmation, in,
                         FolderInUseProbe(runProcess, "/nonexistent/lsof"));
  }

  fs::path drive_ = fs::temp_directory_path() / ("bv-rollback-drive-" + std::to_string(getpid()));
  brimvale::testing::ContextInTempHome env_{"NVMe=\"" + drive_.string() + "\"\nBASE=\"" +
                                            drive_.string() + "/BRIM-T\"\n"};
  fs::path base_ = drive_ / "BRIM-T";
  fs::path archive_ = base_ / "Documents-Archive";
  struct DriveCleanup {
    fs::path drive;
    ~DriveCleanup() { fs::remove_all(drive); }
  } cleanup_{drive_};
};

// Only "yes" at the prompt reverses; of the rows, only moves are reversed,
// the rest are listed with the reason, and the batch ends empty.
TEST_F(RollbackTest, OnlyYesReversesAndOnlyMovesAreReversed) {
  for (const char* answer : {"no\n", "y\n", "YES\n", ""}) {
    SCOPED_TRACE(answer);
    env_.out().str("");
    EXPECT_EQ(rollback(Confirmation::kAskOnTerminal, answer), 0);
    EXPECT_TRUE(env_.out().str().ends_with("Proceed? (yes/no) "));
    EXPECT_TRUE(fs::exists(archive_ / "a.txt"));
    EXPECT_EQ(readLastBatch(env_.paths()).size(), 3u);
  }
  env_.out().str("");
  EXPECT_EQ(rollback(Confirmation::kAskOnTerminal, "yes\n"), 0);
  const std::string out = env_.out().str();
  EXPECT_TRUE(out.starts_with("Will reverse 1 action(s):\n")) << out;
  EXPECT_TRUE(contains(out, "(deleted; that can't be undone)\n")) << out;
  EXPECT_TRUE(contains(out, "(rollback doesn't move relocated folders back)\n")) << out;
  EXPECT_TRUE(out.ends_with("Reversed: 1.  Skipped: 1.\n")) << out;
  EXPECT_EQ(readFile(home() / "a.txt").value(), "a");
  EXPECT_TRUE(readLastBatch(env_.paths()).empty());
}

// Rows naming places the path policy refuses are said, logged and kept;
// nothing they name is touched.
TEST_F(RollbackTest, RowsOutsideWhatRollbackMayMoveAreRefusedAndKept) {
  const fs::path outside =
      fs::temp_directory_path() / ("bv-rollback-outside-" + std::to_string(getpid()));
  fs::create_directories(outside);
  std::ofstream(outside / "precious") << "p";
  std::ofstream(home() / "mine.txt") << "m";
  fs::create_directory_symlink(outside, archive_ / "leads-out");
  const std::vector<ActionRow> tampered{
      {"move", (home() / "taken").string(), (outside / "precious").string(), 1},
      {"move", (home() / "taken").string(), (home() / "mine.txt").string(), 1},
      {"move", (archive_ / "x").string(), (archive_ / "a.txt").string(), 1},
      {"move", (home() / "taken").string(), (archive_ / "leads-out" / "precious").string(), 1},
  };
  ASSERT_TRUE(replaceBatch(env_.paths(), tampered));
  EXPECT_EQ(rollback(Confirmation::kAlreadyGiven), 1);
  const std::string out = env_.out().str();
  EXPECT_TRUE(out.starts_with("Will reverse 0 action(s):\nWon't reverse 4 action(s):\n")) << out;
  EXPECT_TRUE(
      contains(out, "rollback refused: " + (outside / "precious").string() + " lies outside"))
      << out;
  EXPECT_TRUE(contains(
      out, "rollback refused: " + (home() / "mine.txt").string() + " is not in the drive's"))
      << out;
  EXPECT_TRUE(
      contains(out, "rollback refused: " + (archive_ / "x").string() + " lies in Brimvale's own"))
      << out;
  EXPECT_TRUE(contains(out, "is reached through a symbolic link")) << out;
  EXPECT_TRUE(contains(out, "Kept in the batch: 4 action(s) that could not be reversed")) << out;
  EXPECT_EQ(readFile(outside / "precious").value_or(""), "p");
  EXPECT_EQ(readFile(home() / "mine.txt").value_or(""), "m");
  EXPECT_EQ(readFile(archive_ / "a.txt").value_or(""), "a");
  EXPECT_FALSE(fs::exists(home() / "taken"));
  EXPECT_EQ(readLastBatch(env_.paths()).size(), 4u);
  fs::remove_all(outside);
}

// The drive copy an interrupted rollback set aside, if any.
fs::path setAside(const fs::path& folder) {
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().filename().string().starts_with(".brimvale-rolled-back-")) return e.path();
  }
  return {};
}

// Given the disk refusing a step of moving a folder back (directly, or
// across volumes by copy, set-aside and rename), then the person is told the
// folder is still safe and where, nothing is lost, and the next rollback
// brings it back whole.
TEST_F(RollbackTest, AFailureMidRollbackLosesNothingAndSaysWhereTheDataIs) {
  using brimvale::testing::FileOp;
  const fs::path dest = archive_ / "Docs";
  const fs::path src = home() / "Docs";
  brimvale::testing::writeAwkwardTree(dest, 10, 200, 3);
  const brimvale::testing::TreeView before = brimvale::testing::userView(dest);
  struct Fault {
    FileOp op;
    std::string pathPart;
    int err;
  };
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::string said;
  };
  const std::string stillSafe = "rollback FAILED: couldn't move " + dest.string() + " back to " +
                                src.string() + "; it is still safe at " + dest.string() + ". ";
  const std::vector<Case> cases = {
      {"not allowed",
       {{FileOp::kRenameNoReplace, dest.string(), EACCES}},
       stillSafe + std::strerror(EACCES) + "."},
      {"other volume, then the copy cannot be placed",
       {{FileOp::kRenameNoReplace, dest.string(), EXDEV},
        {FileOp::kRenameNoReplace, ".brimvale-rollback-", ENOSPC}},
       stillSafe + "Something appeared at " + src.string() + " meanwhile."},
      {"other volume, then neither placed nor put back",
       {{FileOp::kRenameNoReplace, dest.string(), EXDEV},
        {FileOp::kRenameNoReplace, ".brimvale-rollback-", EACCES},
        {FileOp::kRenameNoReplace, ".brimvale-rolled-back-", ENOSPC}},
       "; the drive copy is at " + (archive_ / ".brimvale-rolled-back-").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(replaceBatch(env_.paths(), {{"move", src.string(), dest.string(), 1}}));
    env_.out().str("");
    brimvale::testing::FailingFileOperations files;
    for (const auto& f : c.faults) files.failFirst(f.op, f.pathPart, f.err);
    std::istringstream in;
    EXPECT_EQ(rollbackBatch(env_.load(), Confirmation::kAlreadyGiven, in,
                            FolderInUseProbe(runProcess, "/nonexistent/lsof"), files),
              1);
    EXPECT_EQ(files.injected(), static_cast<int>(c.faults.size()));
    EXPECT_TRUE(contains(env_.out().str(), c.said)) << c.said << "\nin:\n" << env_.out().str();
    const fs::path where = fs::exists(dest) ? dest : setAside(archive_);
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(where)), 0);
    EXPECT_EQ(readLastBatch(env_.paths()).size(), 1u) << "a failed row stays in the batch";

    // The next rollback, with the disk working again, finishes the job.
    EXPECT_EQ(rollback(Confirmation::kAlreadyGiven), 0) << env_.out().str();
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src)), 0);
    EXPECT_TRUE(setAside(archive_).empty());
    fs::rename(src, dest);  // back on the drive for the next case
  }
}

// Given a rollback stopped part-way, and what it left written to afterwards
// (the drive copy it had set aside, or the copy it was making beside the old
// place), then the next rollback brings the item home and removes of what
// was left only what matches the other copy: the rest is kept beside its
// name as "<name>.kept-<stamp>" and listed.
TEST_F(RollbackTest, WhatWasWrittenMeanwhileIsKeptAsideAndListed) {
  using brimvale::testing::FileOp;
  const fs::path dest = archive_ / "Docs";
  const fs::path src = home() / "Docs";
  struct Case {
    const char* name;
    bool unfinishedCopy;  // stopped before the drive copy was set aside
    std::vector<std::string> written;
  } cases[] = {
      {"the drive copy, nothing written", false, {}},
      {"the drive copy, a file rewritten", false, {"b.txt"}},
      {"the unfinished copy, a file rewritten and one added", true, {"b.txt", "sub/new.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src);
    fs::remove_all(archive_);
    fs::create_directories(dest / "sub");
    std::ofstream(dest / "a.txt") << "a";
    std::ofstream(dest / "b.txt") << "b";
    std::ofstream(dest / "sub" / "c.txt") << "c";
    ASSERT_TRUE(replaceBatch(env_.paths(), {{"move", src.string(), dest.string(), 1}}));
    // Copied, then neither placed nor put back.
    brimvale::testing::FailingFileOperations files;
    files.failFirst(FileOp::kRenameNoReplace, dest.string(), EXDEV);
    files.failFirst(FileOp::kRenameNoReplace, ".brimvale-rollback-", EACCES);
    files.failFirst(FileOp::kRenameNoReplace, ".brimvale-rolled-back-", ENOSPC);
    std::istringstream in;
    ASSERT_EQ(rollbackBatch(env_.load(), Confirmation::kAlreadyGiven, in,
                            FolderInUseProbe(runProcess, "/nonexistent/lsof"), files),
              1);
    fs::path left = setAside(archive_);
    ASSERT_FALSE(left.empty());
    if (c.unfinishedCopy) {
      fs::rename(left, dest);  // as where a rollback stopped right after its copy
      for (const auto& e : fs::directory_iterator(home())) {
        if (e.path().filename().string().starts_with(".brimvale-rollback-")) left = e.path();
      }
    }
    for (const auto& file : c.written) std::ofstream(left / file) << "newer";

    env_.out().str("");
    EXPECT_EQ(rollback(Confirmation::kAlreadyGiven), 0) << env_.out().str();
    EXPECT_EQ(readFile(src / "b.txt").value_or(""), "b");
    EXPECT_EQ(readFile(src / "sub" / "c.txt").value_or(""), "c");
    EXPECT_FALSE(fs::exists(dest));
    std::vector<fs::path> keptFolders;
    for (const fs::path& folder : {archive_, home()}) {
      for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(name.starts_with(".brimvale-")) << "nothing half-done is left: " << name;
        if (name.starts_with("Docs.kept-")) keptFolders.push_back(e.path());
      }
    }
    ASSERT_EQ(keptFolders.size(), c.written.empty() ? 0u : 1u) << env_.out().str();
    if (c.written.empty()) continue;
    EXPECT_EQ(keptFolders[0].parent_path(), c.unfinishedCopy ? home() : archive_);
    std::vector<std::string> held;
    for (const auto& e : fs::recursive_directory_iterator(keptFolders[0])) {
      if (e.is_regular_file()) held.push_back(e.path().lexically_relative(keptFolders[0]).string());
    }
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, c.written);
    const std::string listed =
        c.unfinishedCopy
            ? "Kept at home: 1 unfinished copy(ies) holding files that are not on the drive:\n  "
            : "Kept aside on the drive: 1 version(s) that changed while being brought back:\n  ";
    EXPECT_TRUE(contains(env_.out().str(), listed + keptFolders[0].string() + "\n"))
        << env_.out().str();
    fs::remove_all(keptFolders[0]);
  }
}

}  // namespace
}  // namespace brimvale::service
