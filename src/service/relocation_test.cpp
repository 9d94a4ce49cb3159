#include "service/relocation.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "platform/testing/fake_platform.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// A drive that is a plain folder the fake mount table calls mounted.
class RelocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-relocation-XXXXXX";
    paths_ = StatePaths::forHome(mkdtemp(tmpl));
    fs::create_directories(paths_.state);
    drive_ = paths_.home / "drive";
    base_ = drive_ / "BRIM-Test-Mac";
    fs::create_directories(base_);
    std::ofstream(base_ / ".hollin-managed") << "marker_version=1\n";
    state_.mountPoints.insert(drive_.string());
    unsetenv("RSYNC");  // only the fake candidates (none) are tried
    std::ofstream(paths_.config) << "NVMe=\"" << drive_.string() << "\"\n";
    platform_ = platform::testing::makeFakePlatform(state_);
    ctx_ = std::make_unique<ServiceContext>(paths_, platform_, [] { return std::time_t(1'777'600'000); },
                                            out_, out_);
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
    src_ = paths_.home / "My \"Folder\"";
    fs::create_directories(src_);
    std::ofstream(src_ / "f") << "data";
  }
  void TearDown() override { fs::remove_all(paths_.home); }

  void expectSourceUntouched() {
    EXPECT_FALSE(fs::is_symlink(src_));
    EXPECT_EQ(readFile(src_ / "f").value_or(""), "data");
    EXPECT_FALSE(fs::exists(src_.string() + ".hollin-old"));
    EXPECT_FALSE(fs::exists(base_ / "Relocated" / src_.filename()));
  }

  StatePaths paths_;
  fs::path drive_, base_, src_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
};

TEST_F(RelocationTest, WithoutGnuRsyncNothingMoves) {
  Guards guards(paths_.home, *platform_.files);
  EXPECT_EQ(safeMoveDirToNvme(*ctx_, guards, src_.string()), MoveDirCode::kCopyFailed);
  EXPECT_TRUE(out_.str().ends_with(
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
  Guards guards(paths_.home, *platform_.files);
  state_.openPaths.insert(src_.string());
  EXPECT_EQ(safeMoveDirToNvme(*ctx_, guards, src_.string() + "//"), MoveDirCode::kInUse);
  expectSourceUntouched();

  // Reached through a linked folder, a folder on the drive is still on it.
  fs::create_directories(base_ / "Relocated" / "x");
  fs::create_directory_symlink(base_ / "Relocated", paths_.home / "shortcut");
  EXPECT_EQ(safeMoveDirToNvme(*ctx_, guards, (paths_.home / "shortcut" / "x").string()),
            MoveDirCode::kInvalidRequest);
  EXPECT_TRUE(out_.str().ends_with("ERR: path is already on NVMe: " +
                                   (paths_.home / "shortcut" / "x").string() + "\n"));
  EXPECT_TRUE(fs::is_directory(base_ / "Relocated" / "x"));
}

}  // namespace
}  // namespace brimvale::service
