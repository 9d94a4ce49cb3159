#include "service/watch/watch.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "service/core/rule_run_lock.h"
#include "service/dispatch.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

std::time_t localTime(int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// A home with a usable drive (mounted, marker present) and a clock that the
// loop's sleeps move forward.
class WatchTest : public ::testing::Test {
 protected:
  void useConfig(const std::string& extra) {
    home_ = std::make_unique<brimvale::testing::ContextInTempHome>("");
    nvme_ = home_->home() / "Volumes" / "NVMe";
    // A real mount: the self-backup writes only while its drive is mounted.
    drive_ = std::make_unique<brimvale::testing::TmpfsMount>(nvme_, "4m");
    std::ofstream(home_->paths().config)
        << "NVMe=\"" << nvme_.string() << "\"\nREMOUNT_RETRIES=3\nREMOUNT_BACKOFF_SECS=2\n"
        << extra;
    fs::create_directories(nvme_ / "BRIM-Test-Mac");
    std::ofstream(nvme_ / "BRIM-Test-Mac" / ".hollin-managed") << "marker_version=1\n";
    home_->fake().mountPoints.insert(nvme_.string());
    ctx_ = &home_->load([this] { return now_; });
    loop_ = std::make_unique<WatchLoop>(*ctx_, [this](long long s) { now_ += s; });
    loop_->start();
  }
  std::string out() const { return home_->out().str(); }

  std::time_t now_ = localTime(6, 2, 59);
  std::unique_ptr<brimvale::testing::ContextInTempHome> home_;
  ServiceContext* ctx_ = nullptr;
  std::unique_ptr<WatchLoop> loop_;
  fs::path nvme_;
  std::unique_ptr<brimvale::testing::TmpfsMount> drive_;
};

constexpr const char* kEager =
    "ENABLE_AUTO_ACTIONS=1\nQUIET_MODE=always-on\nAUTO_RELOCATE_HOUR=3\nNOTIFY_ON_OK_RUN=1\n";

TEST_F(WatchTest, RunsTheRulesOnceInTheConfiguredHourAndAgainTheNextDay) {
  useConfig(kEager);
  // Ticks every 30 s from 02:59 through 04:00.
  while (now_ < localTime(6, 4, 0)) ASSERT_TRUE(loop_->tick());
  EXPECT_EQ(occurrences(out(), "starting daily auto-relocate run"), 1u);
  EXPECT_EQ(readFile(home_->paths().lastAutoRun).value_or(""), "2026-12-06 03:00 (scheduled)\n");
  EXPECT_EQ(readFile(home_->paths().selfBackupDay).value_or(""), "2026-12-06\n");

  now_ = localTime(7, 3, 10);
  ASSERT_TRUE(loop_->tick());
  EXPECT_EQ(occurrences(out(), "starting daily auto-relocate run"), 2u);
}

// The self-backup writes into the working folder, which a drive transfer is
// copying and verifying: it waits for the job to end, then runs that day.
TEST_F(WatchTest, TheSelfBackupWaitsWhileADriveTransferIsUnderWay) {
  useConfig("");
  BRIMVALE_REQUIRE_DRIVE(*drive_);
  const fs::path job = home_->paths().state / "transfer-job.kv";
  const fs::path backup = nvme_ / "BRIM-Test-Mac" / "Brimvale-Backup";
  // Phases a tick leaves alone without drives to copy between.
  for (const char* phase : {"waitingForDrive", "paused", "copied"}) {
    SCOPED_TRACE(phase);
    ASSERT_TRUE(writeFileAtomically(job, "kind=backup\nphase=" + std::string(phase) + "\n"));
    ASSERT_TRUE(loop_->tick());
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_FALSE(fs::exists(home_->paths().selfBackupDay));
  }
  ASSERT_TRUE(writeFileAtomically(job, "kind=backup\nphase=done\n"));
  ASSERT_TRUE(loop_->tick());
  EXPECT_TRUE(fs::exists(backup));
  EXPECT_EQ(readFile(home_->paths().selfBackupDay).value_or(""), "2026-12-06\n");
}

TEST_F(WatchTest, ADailyRunMeetingAnotherRunTriesAgainOnTheNextTick) {
  useConfig(kEager);
  now_ = localTime(6, 3, 0);
  {
    auto other = RuleRunLock::acquire(home_->paths(), std::chrono::milliseconds(0));
    ASSERT_TRUE(other.has_value());
    ASSERT_TRUE(loop_->tick());
    EXPECT_EQ(occurrences(out(), "starting daily auto-relocate run"), 0u);
    EXPECT_FALSE(fs::exists(home_->paths().lastAutoRun));
  }
  ASSERT_TRUE(loop_->tick());
  EXPECT_EQ(occurrences(out(), "starting daily auto-relocate run"), 1u);
}

TEST_F(WatchTest, EveryConditionOfTheDailyRunIsRequired) {
  struct Case {
    const char* name;
    std::string config;
    bool paused;
    bool driveMounted;
    int hour;
  };
  const Case cases[] = {
      {"daily run off", std::string(kEager) + "AUTO_RELOCATE_DAILY=0\n", false, true, 3},
      {"paused", kEager, true, true, 3},
      {"drive absent", kEager, false, false, 3},
      {"other hour", kEager, false, true, 4},
      {"machine busy", std::string(kEager) + "QUIET_MODE=nightly\n", false, true, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    now_ = localTime(6, c.hour, 5);
    useConfig(c.config);
    if (c.paused) std::ofstream(home_->paths().paused) << "";
    if (!c.driveMounted) home_->fake().mountPoints.clear();
    ASSERT_TRUE(loop_->tick());
    EXPECT_EQ(occurrences(out(), "starting daily auto-relocate run"), 0u);
    EXPECT_FALSE(fs::exists(home_->paths().lastAutoRun));
  }
}

}  // namespace
}  // namespace brimvale::service
