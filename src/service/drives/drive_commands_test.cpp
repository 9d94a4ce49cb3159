#include "service/drives/drive_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/base/file_io.h"
#include "platform/testing/fake_platform.h"
#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"

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
  platform::testing::FakeState& state_ = home_.fake();
  std::ostringstream& out_ = home_.out();
  std::ostringstream& err_ = home_.err();
  ServiceContext* ctx_ = nullptr;
};

// Given a configuration in any of the forms the reader accepts, then the new
// drive is what the service reads back, spelled without a trailing slash.
// A drive name with quotes must be written escaped and read back exactly.
TEST_F(DriveCommandsTest, SelectDriveWinsOverEveryAssignmentAndDropsTrailingSlashes) {
  makeDir(root_ / "New \"Drive\"");
  const std::string drive = (root_ / "New \"Drive\"").string();
  const std::string line = "NVMe=\"" + root_.string() + "/New \\\"Drive\\\"\"\n";
  struct Case {
    const char* name;
    std::string config;
    std::string given;
    std::string expected;
  } cases[] = {
      {"trailing slash", "NVMe=\"/Volumes/NVMe\"\n", drive + "/", line},
      {"later export wins", "NVMe=\"/Volumes/NVMe\"\nRULES=()\n  export NVMe=/Volumes/Old # x\n",
       drive, line + "RULES=()\n" + line},
      {"dot parts, key missing", "# only a comment NVMe=/x\n", drive + "/./",
       "# only a comment NVMe=/x\n" + line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    load(c.config);
    out_.str("");
    err_.str("");
    EXPECT_EQ(selectDrive(*ctx_, c.given, ParkedGuard::kApply).exitCode, 0) << err_.str();
    EXPECT_EQ(readFile(paths_.config).value(), c.expected);
    EXPECT_EQ(ctx_->cfg().nvme(), drive);
    EXPECT_NE(out_.str().find("Updated NVMe path to: " + drive + "\n"), std::string::npos);
    // Asking again with the other spelling is no change.
    out_.str("");
    EXPECT_EQ(selectDrive(*ctx_, drive + "/", ParkedGuard::kApply).exitCode, 0);
    EXPECT_EQ(out_.str(), "Already configured. No change.\n");
  }
}

TEST_F(DriveCommandsTest, ListDrivesSkipsSystemVolumesAndFindsBothMarkerLocations) {
  const fs::path volumes = root_ / "Volumes";
  makeDir(volumes / "NVMe/Mac");
  std::ofstream(volumes / "NVMe/Mac/.hollin-managed") << "marker_version=1\n";
  makeDir(volumes / "Work");
  makeDir(volumes / "com.apple.TimeMachine.localsnapshots");
  makeDir(volumes / "Backups of Ada’s Mac");
  makeDir(volumes / ".Trashes");
  std::ofstream(volumes / "file-not-volume");
  state_.volumeFolders = {volumes.string()};
  state_.driveInfo[(volumes / "Work").string()] = {"APFS",    "USB\t", "Removable", "External",
                                                   "disk5s1", "U-1",   900,         1000};
  load("NVMe=\"" + (volumes / "NVMe").string() + "\"\n");

  ASSERT_EQ(listDrivesCommand(*ctx_, {}), 0);
  const std::string out = out_.str();
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line";
  auto doc = nlohmann::json::parse(out);
  ASSERT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc[0]["name"], "NVMe");
  EXPECT_EQ(doc[0]["is_current"], true);
  EXPECT_EQ(doc[0]["has_marker"], true) << "the older Mac/ location counts";
  EXPECT_EQ(doc[1]["name"], "Work");
  EXPECT_EQ(doc[1]["protocol"], "USB") << "control bytes are removed";
  EXPECT_EQ(doc[1]["free_mb"], 900);
  EXPECT_EQ(doc[1]["has_marker"], false);
  EXPECT_EQ(out.substr(0, 10), "[{\"name\":\"");
}

TEST_F(DriveCommandsTest, DoctorReportsStateAndDanglingLinksFourLevelsDeep) {
  const fs::path home = paths_.home;
  makeDir(home / ".cargo/registry/cache");
  fs::create_symlink(root_ / "gone", home / ".cargo/registry/cache/crate");  // level 3
  makeDir(home / ".npm/a/b/c");
  fs::create_symlink(root_ / "gone", home / ".npm/a/b/c/four");  // level 4
  makeDir(home / ".npm/a/b/c/d");
  makeDir(home / ".yarn");
  fs::create_symlink(root_ / "gone", home / ".npm/a/b/c/d/five");  // too deep
  fs::create_symlink(home / ".npm", home / ".cargo/fine");         // target exists
  makeDir(home / "Documents");
  fs::create_symlink(root_ / "gone", home / "Documents/elsewhere");  // not a cache root
  for (int i = 0; i < 25; ++i) {
    fs::create_symlink(root_ / "gone", home / ".yarn" / ("l" + std::to_string(i)));
  }
  state_.loadedAgents = {"com.brimvale.service"};
  load("NVMe=\"" + (root_ / "NVMe").string() + "\"\nRULES=(\"a|b|c|1|\")\n");

  ASSERT_EQ(doctorCommand(*ctx_, {}), 0);
  const std::string out = out_.str();
  EXPECT_NE(out.find("User service loaded?    yes\n"), std::string::npos) << out;
  EXPECT_NE(out.find((home / ".npm/a/b/c/four").string() + "\n"), std::string::npos);
  EXPECT_EQ(out.find("five"), std::string::npos);
  EXPECT_EQ(out.find("elsewhere"), std::string::npos);
  EXPECT_EQ(out.find("fine"), std::string::npos);
  std::size_t listed = 0;
  for (std::size_t at = out.find(home.string()); at != std::string::npos;
       at = out.find(home.string(), at + 1)) {
    ++listed;
  }
  EXPECT_EQ(listed, 20u);
}

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
    EXPECT_EQ(s.problem.empty(), c.exitCode == 0);
    EXPECT_EQ(ctx_->cfg().nvme(), c.kind == Kind::kSwitched ? fresh : current);
    EXPECT_EQ(s.backup.empty(), c.kind != Kind::kSwitched);
  }
}

// Given parked sources, then select-drive refuses and edits nothing unless
// forced; a forced switch keeps the old configuration as its backup.
TEST_F(DriveCommandsTest, SelectDriveRefusesOverParkedSourcesUnlessForced) {
  makeDir(root_ / "New");
  makeDir(paths_.home / "Library/Foo.hollin-old");
  const std::string fresh = (root_ / "New").string();
  const std::string config = "# Brimvale configuration\nNVMe=\"/Volumes/NVMe\"\nRULES=()\n";
  load(config);
  const std::string backup =
      paths_.config.string() + ".bak." + formatLocal(1'780'000'000, "%Y%m%d%H%M%S");
  EXPECT_EQ(runService(*ctx_, {"select-drive", fresh}), 2);
  EXPECT_EQ(readFile(paths_.config).value(), config) << "a refusal edits nothing";
  EXPECT_EQ(runService(*ctx_, {"select-drive", fresh, "force"}), 0);
  EXPECT_EQ(ctx_->cfg().nvme(), fresh);
  EXPECT_EQ(readFile(backup).value(), config);
}

// Drive tools whose eject fails, and whose Quit request each application obeys.
struct StubbornDrive : platform::DriveTools {
  explicit StubbornDrive(platform::testing::FakeState& s) : state(s) {}
  platform::DriveInfo info(const std::string&) override { return {}; }
  std::vector<std::string> volumeFolders() override { return {}; }
  void mountVolume(const std::string&, const std::string&, const std::string&) override {}
  Result<std::string> eject(const std::string&) override {
    return fail(Errc::kToolFailed, "Unmount of disk4 failed\nat least one volume is busy");
  }
  bool askToQuit(const std::string& app) override {
    state.runningProcesses.erase(app);
    return true;
  }
  std::string openFilesBelow(const std::string&) override { return "Docker 412 /v/a\n"; }
  platform::testing::FakeState& state;
};

// Given a drive that is absent, ejects, or stays busy, then the record says
// what was done, and automatic actions are paused before anything is asked.
TEST_F(DriveCommandsTest, EjectRecordsWhatItDid) {
  struct Case {
    const char* name;
    bool mounted;
    bool stubborn;
    int exitCode;
    bool ejected;
    const char* asked;  // the application asked to quit, if any
  };
  const Case cases[] = {
      {"not mounted", false, false, 0, false, nullptr},
      {"ejected", true, false, 0, true, nullptr},
      {"busy", true, true, 1, false, "Docker"},
  };
  const std::string nvme = (root_ / "Volumes/NVMe").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load("NVMe=\"" + nvme + "\"\n");
    fs::remove(paths_.paused);
    state_.mountPoints.clear();
    if (c.mounted) state_.mountPoints.insert(nvme);
    if (c.stubborn) {
      state_.runningProcesses = {"Docker"};
      home_.platform().drives = std::make_unique<StubbornDrive>(state_);
    }
    const EjectOutcome o = ejectNvme(*ctx_, [](const EjectOutcome&, EjectMoment) {});
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(o.mounted, c.mounted);
    EXPECT_EQ(o.ejected, c.ejected);
    EXPECT_EQ(o.askedToQuit,
              c.asked ? std::vector<std::string>{c.asked} : std::vector<std::string>{});
    EXPECT_EQ(fs::exists(paths_.paused), c.mounted) << "paused before anything is asked";
  }
}

}  // namespace
}  // namespace brimvale::service
