#include "service/drives/drive_commands.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;
using brimvale::testing::ErrorStream;

class DriveCommandsTest : public ::testing::Test {
 protected:
  void load(const std::string& config) {
    home_.writeConfig(config);
    ctx_ = &home_.load([] { return std::time_t{1'780'000'000}; });
  }
  void makeDir(const fs::path& p) { fs::create_directories(p); }

  ContextInTempHome home_{"", ErrorStream::kOwn};
  const fs::path& root_ = home_.root();
  const StatePaths& paths_ = home_.paths();
  ServiceContext* ctx_ = nullptr;
};

// Given each way a switch can end, then the record names it with the
// details the sentence needs, and the exit code the command returns.
TEST_F(DriveCommandsTest, SelectDriveRecordsHowTheSwitchEnded) {
  using Kind = DriveSelection::Kind;
  makeDir(root_ / "Current");
  makeDir(root_ / "New");
  makeDir(root_ / "Line\nBreak");
  struct Case {
    const char* name;
    std::string given;
    bool parkedSource;
    Kind kind;
    int exitCode;
    std::string path;
    std::size_t parked;
  };
  const std::string current = (root_ / "Current").string();
  const std::string fresh = (root_ / "New").string();
  const Case cases[] = {
      {"no such folder", (root_ / "gone").string(), false, Kind::kNoSuchPath, 1,
       (root_ / "gone").string(), 0},
      {"same drive, other spelling", current + "/", false, Kind::kUnchanged, 0, current, 0},
      {"line break", (root_ / "Line\nBreak").string(), false, Kind::kLineBreak, 1,
       (root_ / "Line\nBreak").string(), 0},
      {"parked sources", fresh, true, Kind::kParkedSources, 2, fresh, 1},
      {"switched", fresh + "//", false, Kind::kSwitched, 0, fresh, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load("NVMe=\"" + current + "\"\n");
    if (c.parkedSource) makeDir(paths_.home / "Old.hollin-old");
    const DriveSelection s = selectDrive(*ctx_, c.given, ParkedGuard::kApply);
    fs::remove_all(paths_.home / "Old.hollin-old");
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.exitCode, c.exitCode);
    EXPECT_EQ(s.path, c.path);
    EXPECT_EQ(s.parked, c.parked);
    EXPECT_EQ(ctx_->cfg().nvme(), c.kind == Kind::kSwitched ? fresh : current);
    EXPECT_EQ(s.backup.empty(), c.kind != Kind::kSwitched);
  }
}

// Given BASE pinned below the old drive, then only the transfer's switch moves it to the new one,
// in the same write; a BASE elsewhere stays as it was.
TEST_F(DriveCommandsTest, TransferSwitchMovesABasePinnedBelowTheOldDrive) {
  // A pinned working folder counts only where it holds the marker, as the copy on the new drive
  // does.
  for (const char* folder : {"Old/BRIM-A", "New/BRIM-A", "Other/BRIM-A"}) {
    makeDir(root_ / folder);
    std::ofstream(root_ / folder / kMarkerFileName) << "version=1\n";
  }
  const std::string old = (root_ / "Old").string();
  const std::string fresh = (root_ / "New").string();
  const struct {
    const char* name;
    std::string base;
    PinnedBase pinned;
    std::string expected;
  } cases[] = {
      {"below the old drive", old + "/BRIM-A", PinnedBase::kFollowDrive, fresh + "/BRIM-A"},
      {"a plain select", old + "/BRIM-A", PinnedBase::kKeep, old + "/BRIM-A"},
      {"elsewhere", root_.string() + "/Other/BRIM-A", PinnedBase::kFollowDrive,
       root_.string() + "/Other/BRIM-A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    load("NVMe=\"" + old + "\"\nBASE=\"" + c.base + "\"\n");
    ASSERT_EQ(selectDrive(*ctx_, fresh, ParkedGuard::kBypass, c.pinned).kind,
              DriveSelection::Kind::kSwitched);
    EXPECT_EQ(ctx_->cfg().base(), c.expected);
  }
}

// Given a pause sentinel that cannot be created, then nothing further is
// done: no app is asked to quit and the drive stays mounted.
TEST_F(DriveCommandsTest, EjectStopsWhenItCannotPause) {
  const fs::path drive = root_ / "Drive";
  makeDir(drive);
  load("NVMe=\"" + drive.string() + "\"\n");
  home_.fake().mountPoints.insert(drive.string());
  makeDir(paths_.paused);  // a folder where the sentinel file goes
  std::vector<EjectMoment> moments;
  const EjectOutcome o =
      ejectNvme(*ctx_, [&](const EjectOutcome&, EjectMoment m) { moments.push_back(m); });
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_FALSE(o.pauseError.empty());
  EXPECT_EQ(moments, (std::vector<EjectMoment>{EjectMoment::kStarted, EjectMoment::kPausing,
                                               EjectMoment::kPauseFailed}));
  EXPECT_TRUE(home_.fake().mountPoints.contains(drive.string()));
}

}  // namespace
}  // namespace brimvale::service
