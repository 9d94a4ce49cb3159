#include "service/relocation/relocation.h"

#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "service/core/action_log.h"
#include "service/relocation/move_dir_record.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/text_checks.h"
#include "testing/base/tree_view.h"
#include "testing/service/context_in_temp_home.h"

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

  MoveDirCode move(const std::string& path) {
    return safeMoveDirToNvme(env_.load(), FolderInUseProbe(runProcess, lsof_), path);
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
  for (const auto& record : {badTarget, badParked}) {
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

// The parked name is chosen while the copy runs: when something has taken it
// by the time the folder is parked, the folder goes to a fresh name and the
// record follows, and what holds the name is not touched.
TEST_F(RelocationTest, AParkedNameTakenDuringTheCopyIsNotReused) {
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  env_.fake().rsyncCandidates = {rsync};
  const fs::path taken = src_.string() + ".hollin-old";
  struct stat st {};
  ASSERT_EQ(::lstat(src_.c_str(), &st), 0);
  // As a run stopped after recording leaves it, then someone's folder at the name.
  ASSERT_TRUE(writeMoveDirRecord(env_.paths(), {.id = "1-1",
                                                .src = src_,
                                                .target = base_ / "Relocated" / src_.filename(),
                                                .parked = taken,
                                                .device = static_cast<std::uint64_t>(st.st_dev),
                                                .inode = static_cast<std::uint64_t>(st.st_ino),
                                                .bytes = 4,
                                                .phase = MoveDirPhase::kRecorded,
                                                .started = 1}));
  fs::create_directories(base_ / "Relocated" / src_.filename());
  fs::create_directories(taken);
  std::ofstream(taken / "keep.txt") << "theirs";
  ASSERT_EQ(move(src_.string()), MoveDirCode::kRelocated) << env_.out().str();
  EXPECT_EQ(readFile(taken / "keep.txt").value_or(""), "theirs");
  EXPECT_EQ(readFile(src_ / "f").value_or(""), "data");
  EXPECT_TRUE(contains(env_.out().str(), "Original parked at:        " + taken.string() + "."))
      << env_.out().str();
}

// Given the disk refusing one step between parking and linking, then the
// person is told what happened and where their data is, nothing is lost, and
// the next run (with the disk working again) finishes the move, still losing
// nothing.
TEST_F(RelocationTest, AFailureBetweenParkAndLinkLosesNothingAndSaysSo) {
  using brimvale::testing::FileOp;
  const std::string rsync = findExecutable("rsync");
  if (rsync.empty()) GTEST_SKIP() << "rsync not installed";
  env_.fake().rsyncCandidates = {rsync};
  brimvale::testing::writeAwkwardTree(src_, 12, 300, 3);
  const brimvale::testing::TreeView before = brimvale::testing::userView(src_);
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
      {"link: not allowed",
       {{FileOp::kCreateDirectorySymlink, src_.string(), EACCES}},
       MoveDirCode::kLinkFailed,
       {"ERR: couldn't create symlink; restoring original from " + parked, std::strerror(EACCES),
        "Your folder is back at " + src_.string() + "; nothing was moved.\n"}},
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
    brimvale::testing::FailingFileOperations files;
    for (const auto& f : c.faults) files.failFirst(f.op, f.pathPart, f.err);
    EXPECT_EQ(
        safeMoveDirToNvme(env_.load(), FolderInUseProbe(runProcess, lsof_), src_.string(), files),
        c.code);
    EXPECT_EQ(files.injected(), static_cast<int>(c.faults.size()));
    const std::string out = env_.out().str();
    for (const auto& s : c.said) EXPECT_TRUE(contains(out, s)) << s << "\nin:\n" << out;
    const fs::path where = fs::exists(src_) ? src_ : fs::path(parked);
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(where)), 0);

    // The next run finishes the move (or moves it afresh) with nothing lost.
    env_.out().str("");
    ASSERT_EQ(move(src_.string()), MoveDirCode::kRelocated) << env_.out().str();
    EXPECT_TRUE(fs::is_symlink(src_));
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src_)), 0);
    // Back to a plain folder for the next case.
    const fs::path target = fs::read_symlink(src_);
    fs::remove(src_);
    fs::rename(parked, src_);
    fs::remove_all(target);
    ASSERT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src_)), 0);
  }
}

}  // namespace
}  // namespace brimvale::service
