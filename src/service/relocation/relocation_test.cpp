#include "service/relocation/relocation.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "service/core/action_log.h"
#include "service/relocation/move_dir_record.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

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

}  // namespace
}  // namespace brimvale::service
