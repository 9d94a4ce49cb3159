#include "app/host/usage_history_recorder.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "platform/testing/fake_platform.h"
#include "platform/testing/fake_scheduler.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using transfers::JobKind;
using transfers::JobOutcome;

// 1'900'000'000 lies 2800 s into its hour.
constexpr std::time_t kStart = 1'900'000'000;

struct Rig {
  brimvale::testing::TempFolder dir;
  StatePaths paths = StatePaths::forHome(dir / "home");
  platform::testing::FakeState state;
  platform::Platform platform = platform::testing::makeFakePlatform(state);
  platform::testing::FakeScheduler scheduler;
  std::time_t now = kStart;
  transfers::BackgroundJobsStore ledger{paths.state, [this] { return now; }};
  std::unique_ptr<UsageHistoryRecorder> recorder;

  Rig() {
    fs::create_directories(paths.state);
    restart();
  }
  // A new application over the same files.
  void restart() {
    if (recorder) recorder->stop();
    recorder = std::make_unique<UsageHistoryRecorder>(UsageHistoryRecorder::Dependencies{
        paths, *platform.volumes, *platform.mounts, "BRIM-Test-Mac", ledger, scheduler,
        [this] { return now; }});
    recorder->start();
  }
  std::vector<std::string> rows() const {
    const std::string text = readFile(paths.state / "history.ndjson").value_or("");
    std::vector<std::string> out;
    for (std::string_view line : splitLines(text)) out.emplace_back(line);
    return out;
  }
  std::vector<transfers::BackgroundJob> runs() const {
    std::vector<transfers::BackgroundJob> out;
    for (const auto& job : ledger.readJobs()) {
      if (job.kind == JobKind::kUsageHistory) out.push_back(job);
    }
    return out;
  }
};

TEST(UsageHistoryRecorder, OneRowPerHourOfTheClockAcrossRestarts) {
  struct Step {
    const char* what;
    std::time_t advance;
    bool restart;
    std::size_t rows;
  } steps[] = {
      {"first check at start", 0, false, 1},
      {"later in the same hour", 600, false, 1},
      {"a restart in the same hour", 100, true, 1},
      {"the next hour begins", 400, false, 2},
      {"an hour later", 3600, false, 3},
      {"a restart in a new hour", 3600, true, 4},
      {"the clock goes back two hours", -7200, false, 5},
  };
  Rig rig;
  std::time_t lastRowAt = kStart;  // the first row, written as the rig started
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    rig.now += step.advance;
    const std::size_t before = rig.rows().size();
    if (step.restart) {
      rig.restart();
    } else if (step.advance != 0) {
      rig.recorder->check();
    }
    const auto rows = rig.rows();
    ASSERT_EQ(rows.size(), step.rows);
    if (rows.size() > before) lastRowAt = rig.now;
    EXPECT_TRUE(rows.back().starts_with("{\"ts\":\"" + isots(lastRowAt) + "\",")) << rows.back();
    const auto runs = rig.runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back().totalRuns, static_cast<std::int64_t>(step.rows));
    EXPECT_EQ(runs.back().lastOutcome, JobOutcome::kOk);
  }
  // The timer keeps checking while the application runs.
  ASSERT_EQ(rig.scheduler.timers.size(), 1u);
  EXPECT_EQ(rig.scheduler.timers.begin()->second.name, "usage-history.timer");
}

TEST(UsageHistoryRecorder, RowsFollowTheDriveAndTheConfiguredCap) {
  struct Case {
    const char* name;
    bool mounted;
    bool marker;
    std::string maxDays;
    std::size_t rowsBefore;
    std::string driveFields;
    std::size_t rowsAfter;
  } cases[] = {
      {"drive usable", true, true, "365", 0, "\"nvme_free_gb\":800,\"nvme_total_gb\":1000", 1},
      {"mounted without marker", true, false, "365", 0, "\"nvme_free_gb\":0,\"nvme_total_gb\":0",
       1},
      {"not mounted", false, true, "365", 0, "\"nvme_free_gb\":0,\"nvme_total_gb\":0", 1},
      {"cap reached", false, false, "3", 3, "\"nvme_free_gb\":0", 3},
      {"cap below the rows kept", false, false, "2", 5, "\"nvme_free_gb\":0", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    const fs::path drive = rig.dir.folder("drive");
    rig.dir.file("home/.brimvale/brim-vale.conf",
                 "NVMe=\"" + drive.string() + "\"\nHISTORY_MAX_DAYS=" + c.maxDays + "\n");
    if (c.mounted) rig.state.mountPoints.insert(drive.string());
    if (c.marker) rig.dir.file("drive/BRIM-Test-Mac/.hollin-managed", "marker_version=1\n");
    std::string old;
    for (std::size_t i = 0; i < c.rowsBefore; ++i)
      old += "{\"ts\":\"" + isots(kStart - 7200 - 3600 * static_cast<std::time_t>(i)) + "\"}\n";
    rig.dir.file("home/.brimvale/state/history.ndjson", old);
    rig.recorder->check();
    const auto rows = rig.rows();
    ASSERT_EQ(rows.size(), c.rowsAfter);
    EXPECT_NE(rows.back().find(c.driveFields), std::string::npos) << rows.back();
    EXPECT_NE(rows.back().find("\"internal_free_gb\":100,\"internal_total_gb\":500"),
              std::string::npos);
  }
}

TEST(UsageHistoryRecorder, AFailedWriteIsRecordedAsAFailedRunAndRetried) {
  Rig rig;
  fs::remove(rig.paths.state / "history.ndjson");
  fs::create_directories(rig.paths.state / "history.ndjson");  // cannot be appended to
  rig.now += 600;
  rig.recorder->check();
  auto runs = rig.runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs.back().lastOutcome, JobOutcome::kFailed);
  EXPECT_TRUE(runs.back().lastSummary.starts_with("Could not record this hour's disk usage: "));
  // Nothing was written, so the next check tries again.
  fs::remove_all(rig.paths.state / "history.ndjson");
  rig.now += 60;
  rig.recorder->check();
  EXPECT_EQ(rig.rows().size(), 1u);
  EXPECT_EQ(rig.runs().back().lastOutcome, JobOutcome::kOk);
}

}  // namespace
}  // namespace brimvale::app
