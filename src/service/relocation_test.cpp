#include "service/relocation.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "service/service_test_support.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// A drive that is a plain folder the fake mount table calls mounted; only the
// fake rsync candidates (none) are tried.
class RelocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("RSYNC");
    fs::create_directories(base_);
    std::ofstream(base_ / ".hollin-managed") << "marker_version=1\n";
    env_.fake().mountPoints.insert(drive_.string());
    fs::create_directories(src_);
    std::ofstream(src_ / "f") << "data";
  }

  void expectSourceUntouched() {
    EXPECT_FALSE(fs::is_symlink(src_));
    EXPECT_EQ(readFile(src_ / "f").value_or(""), "data");
    EXPECT_FALSE(fs::exists(src_.string() + ".hollin-old"));
    EXPECT_FALSE(fs::exists(base_ / "Relocated" / src_.filename()));
  }

  fs::path drive_ = fs::temp_directory_path() / ("bv-drive-" + std::to_string(getpid()));
  testsupport::ContextInTempHome env_{"NVMe=\"" + drive_.string() + "\"\n"};
  fs::path base_ = drive_ / "BRIM-Test-Mac";
  fs::path src_ = env_.home() / "My \"Folder\"";
  struct DriveCleanup {
    fs::path drive;
    ~DriveCleanup() { fs::remove_all(drive); }
  } cleanup_{drive_};
};

TEST_F(RelocationTest, WithoutGnuRsyncNothingMoves) {
  ServiceContext& ctx = env_.load();
  Guards guards(env_.home(), env_.files());
  EXPECT_EQ(safeMoveDirToNvme(ctx, guards, src_.string()), MoveDirCode::kCopyFailed);
  EXPECT_TRUE(env_.out().str().ends_with(
      "Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026\n"
      "ERR: GNU rsync 3.x is required for moves but isn't installed.\n"
      "     Apple's openrsync (/usr/bin/rsync on macOS 14+) doesn't\n"
      "     support --info=progress2, hard links, or all xattrs that\n"
      "     Brimvale relies on for safe transfers.\n\n"
      "     Install GNU rsync via Homebrew, then retry:\n"
      "         brew install rsync\n"));
  expectSourceUntouched();
}

TEST_F(RelocationTest, OpenFolderAndFoldersOnTheDriveAreRefused) {
  env_.fake().openPaths.insert(src_.string());
  ServiceContext& ctx = env_.load();
  Guards guards(env_.home(), env_.files());
  EXPECT_EQ(safeMoveDirToNvme(ctx, guards, src_.string() + "//"), MoveDirCode::kInUse);
  expectSourceUntouched();

  // Reached through a linked folder, a folder on the drive is still on it.
  fs::create_directories(base_ / "Relocated" / "x");
  fs::create_directory_symlink(base_ / "Relocated", env_.home() / "shortcut");
  EXPECT_EQ(safeMoveDirToNvme(ctx, guards, (env_.home() / "shortcut" / "x").string()),
            MoveDirCode::kInvalidRequest);
  EXPECT_TRUE(env_.out().str().ends_with("ERR: path is already on NVMe: " +
                                         (env_.home() / "shortcut" / "x").string() + "\n"));
  EXPECT_TRUE(fs::is_directory(base_ / "Relocated" / "x"));

  // A folder that holds the drive would be copied into itself.
  EXPECT_EQ(safeMoveDirToNvme(ctx, guards, drive_.parent_path().string()),
            MoveDirCode::kInvalidRequest);
  EXPECT_TRUE(env_.out().str().ends_with("; a folder can't be moved into itself. Nothing was changed.\n"));
}

}  // namespace
}  // namespace brimvale::service
