#include "service/core/status_snapshot.h"

#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/base/file_io.h"
#include "platform/testing/fake_platform.h"
#include "service/dispatch.h"
#include "testing/temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class StatusSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_ = platform::testing::makeFakePlatform(state_); }

  // Loads `config` and gathers a snapshot at 2026-05-01 14:00 local time.
  StatusSnapshot gather(const std::string& config) {
    std::ofstream(paths_.config) << config;
    ctx_ = std::make_unique<ServiceContext>(
        paths_, platform_, [this] { return now_; }, out_, out_);
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
    return gatherStatus(*ctx_);
  }

  std::time_t localTime(int hour) {
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 4;
    tm.tm_mday = 1;
    tm.tm_hour = hour;
    tm.tm_isdst = -1;
    return mktime(&tm);
  }

  brimvale::testing::TempHome home_{brimvale::testing::StateFolder::kCreated, "brimvale-status"};
  const StatePaths& paths_ = home_.paths();
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
  std::time_t now_ = 0;
};

TEST_F(StatusSnapshotTest, DriveIsUsableOnlyWhenMountedWithAMarker) {
  const fs::path base = paths_.home / "drive" / "BRIM-Test-Mac";
  const std::string config = "NVMe=\"" + (paths_.home / "drive").string() + "\"\n";
  struct Case {
    const char* name;
    bool mounted;
    bool marker;
  };
  const Case cases[] = {{"usable", true, true}, {"no marker", true, false}, {"away", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    state_.mountPoints.clear();
    if (c.mounted) state_.mountPoints.insert((paths_.home / "drive").string());
    fs::remove_all(paths_.home / "drive");
    if (c.marker) {
      fs::create_directories(base);
      std::ofstream(base / ".hollin-managed") << "version=1\n";
    }
    StatusSnapshot s = gather(config);
    EXPECT_EQ(s.driveUsable(), c.mounted && c.marker);
    EXPECT_EQ(s.nvmeFreeBytes, c.mounted && c.marker ? state_.drive.freeBytes : 0u);
    std::string json = renderStatusJson(s, ctx_->cfg());
    bool usable = c.mounted && c.marker;
    EXPECT_NE(json.find(usable ? "\"nvme_free_gb\": 800,\n  \"nvme_total_gb\": 1000,\n"
                               : "\"nvme_free_gb\": null,\n  \"nvme_total_gb\": null,\n"),
              std::string::npos)
        << json;
  }
}

// The log may just have been rotated: its newest line is then the older
// generation's last, and last_event must not come back empty or stale.
TEST_F(StatusSnapshotTest, LastEventIsTheNewestLogLineAcrossARotation) {
  const fs::path previous = paths_.log.string() + ".1";
  struct Case {
    const char* name;
    const char* current;  // nullptr: no file
    const char* previous;
    const char* lastEvent;
  };
  const Case cases[] = {
      {"not rotated", "2026-05-01 10:00:00  a\n2026-05-01 10:00:01  b\n", nullptr,
       "2026-05-01 10:00:01  b"},
      {"rotated, nothing new yet", nullptr, "2026-05-01 10:00:00  a\n2026-05-01 10:00:01  b\n",
       "2026-05-01 10:00:01  b"},
      {"rotated, new file still empty", "", "2026-05-01 10:00:01  b\n", "2026-05-01 10:00:01  b"},
      {"rotated, then logged again", "2026-05-01 10:00:02  c\n", "2026-05-01 10:00:01  b\n",
       "2026-05-01 10:00:02  c"},
      {"no log at all", nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(paths_.log);
    fs::remove(previous);
    if (c.current) std::ofstream(paths_.log) << c.current;
    if (c.previous) std::ofstream(previous) << c.previous;
    EXPECT_EQ(gather("NVMe=/Volumes/NVMe\n").lastEvent, c.lastEvent);
  }
}

TEST_F(StatusSnapshotTest, QuietGateUsesTheMeasuredInputsAndLocalHour) {
  state_.idleSecs = 120;
  now_ = localTime(20);
  StatusSnapshot s = gather("NVMe=/nowhere\n");
  EXPECT_TRUE(s.quiet.quiet);
  EXPECT_EQ(s.quiet.reason, "user active (idle 120s < 600s)");

  now_ = localTime(14);
  EXPECT_EQ(gather("NVMe=/nowhere\n").quiet.reason, "scheduled window 9-19");

  state_.power = {true, 25};
  state_.idleSecs = 600;
  EXPECT_EQ(gather("QUIET_MODE=smart\n").quiet.reason, "battery low (25% < 30%)");

  // A meeting flag touched 31 seconds ago no longer counts.
  std::ofstream(paths_.meetingFlag) << "meeting\n";
  timeval old[2] = {{now_ - 31, 0}, {now_ - 31, 0}};
  utimes(paths_.meetingFlag.c_str(), old);
  state_.power = {};
  StatusSnapshot m = gather("QUIET_MODE=smart\n");
  EXPECT_FALSE(m.meetingActive);
  EXPECT_FALSE(m.quiet.quiet);
}

TEST_F(StatusSnapshotTest, TextShowsEachOptionalLineOnlyWhenItApplies) {
  now_ = localTime(3);
  state_.idleSecs = 4000;
  StatusSnapshot s = gather("QUIET_MODE=always\n");
  s.internalFreeBytes = 110'343'344'128;
  s.internalTotalBytes = 494'384'795'648;
  EXPECT_EQ(renderStatusText(s, ctx_->cfg(), paths_),
            "== brim-vale status ==\n"
            "NVMe:     NOT MOUNTED\n"
            "Internal: 110.34 GB free of 494.38 GB\n"
            "Idle:     4000s\n"
            "Quiet:    no (mode=always \u2014 OK to run)\n"
            "Battery:  100% on AC power\n"
            "State:    active\n"
            "\n"
            "Config:   " +
                paths_.config.string() +
                "\n"
                "Log:      " +
                paths_.log.string() +
                "\n"
                "Status:   " +
                paths_.statusJson.string() + "\n");

  s.meetingActive = true;
  s.paused = true;
  s.onBattery = true;
  s.batteryPct = 64;
  s.lastRun = "2026-05-01 03:00 (scheduled)";
  s.quiet = {true, ""};
  std::string text = renderStatusText(s, ctx_->cfg(), paths_);
  EXPECT_NE(text.find("Quiet:    yes (mode=always, no reason)\n"
                      "Battery:  64% on battery\n"
                      "Meeting:  camera or mic in use\n"
                      "State:    PAUSED\n"
                      "Last run: 2026-05-01 03:00 (scheduled)\n\n"),
            std::string::npos)
      << text;
}

TEST_F(StatusSnapshotTest, NumbersAreWrittenAsConfiguredWhenTheyAreNumbers) {
  StatusSnapshot s =
      gather("LOW_SPACE_WARN_GB=55\nLOW_SPACE_CRITICAL_GB=lots\nAUTO_RELOCATE_HOUR=\n");
  std::string json = renderStatusJson(s, ctx_->cfg());
  EXPECT_NE(json.find("\"low_space_warn_gb\": 55,\n"), std::string::npos);
  EXPECT_NE(json.find("\"low_space_critical_gb\": 15,\n"), std::string::npos)
      << "not a number: default";
  EXPECT_NE(json.find("\"auto_relocate_hour\": 3,\n"), std::string::npos);
}

TEST_F(StatusSnapshotTest, WriteReplacesTheSnapshotAtomically) {
  gather("NVMe=/nowhere\n");
  const auto [json, saved] = writeStatusJson(*ctx_);
  EXPECT_TRUE(saved.has_value());
  EXPECT_EQ(readFile(paths_.statusJson).value(), json);
  EXPECT_TRUE(json.starts_with("{\n  \"timestamp\": \""));
  EXPECT_TRUE(json.ends_with("\"app_cache_path_count\": 0\n}\n"));
  for (const auto& e : fs::directory_iterator(paths_.state)) {
    EXPECT_EQ(e.path().filename().string().find("tmp"), std::string::npos);
  }
}

TEST_F(StatusSnapshotTest, AFailedWriteKeepsTheOldSnapshotAndJsonSaysSo) {
  gather("NVMe=/nowhere\n");
  // Something in the way of the rename stands for a full or broken state folder.
  fs::create_directories(paths_.statusJson / "in the way");
  const auto [json, saved] = writeStatusJson(*ctx_);
  EXPECT_FALSE(saved.has_value());
  EXPECT_TRUE(json.starts_with("{\n  \"timestamp\": \""));
  for (const auto& e : fs::directory_iterator(paths_.state)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
  }

  std::ostringstream err;
  ServiceContext ctx(
      paths_, platform_, [this] { return now_; }, out_, err);
  out_.str("");
  EXPECT_EQ(runService(ctx, {"json"}), 1);
  EXPECT_TRUE(out_.str().starts_with("{\n")) << "the figures are still printed";
  EXPECT_TRUE(err.str().starts_with(
      "The status snapshot above couldn't be saved to " + paths_.statusJson.string() +
      ", so the application keeps showing the previous one. Your data "
      "is safe;"))
      << err.str();
}

}  // namespace
}  // namespace brimvale::service
