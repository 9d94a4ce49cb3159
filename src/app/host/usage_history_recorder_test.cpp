#include "app/host/usage_history_recorder.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_platform.h"
#include "testing/platform/fake_scheduler.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using transfers::JobKind;
using transfers::JobOutcome;

// 1'900'000'000 lies 2800 s into its hour.
constexpr std::time_t kRecorderStart = 1'900'000'000;

struct RecorderRig {
  brimvale::testing::TempFolder dir;
  StatePaths paths = StatePaths::forHome(dir / "home");
  platform::testing::FakeState state;
  platform::Platform platform = platform::testing::makeFakePlatform(state);
  platform::testing::FakeScheduler scheduler;
  std::time_t now = kRecorderStart;
  transfers::BackgroundJobsStore ledger{paths.state, [this] { return now; }};
  std::unique_ptr<UsageHistoryRecorder> recorder;

  RecorderRig() {
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
  RecorderRig rig;
  std::time_t lastRowAt = kRecorderStart;  // the first row, written as the rig started
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

// HISTORY_MAX_DAYS counts days: rows older than that go by their time, however many rows a
// day holds; a line without a readable time is not aged out.
TEST(UsageHistoryRecorder, KeepsTheConfiguredDaysOfRowsByTheirTime) {
  RecorderRig rig;
  ASSERT_TRUE(writeFileAtomically(rig.paths.config, "HISTORY_MAX_DAYS=2\n"));
  const auto rowAt = [](std::time_t at) {
    return "{\"ts\":\"" + isots(at) + "\",\"internal_free_gb\":40}";
  };
  const std::string old = rowAt(kRecorderStart - 3 * 86400);
  const std::string recent = rowAt(kRecorderStart - 86400);
  ASSERT_TRUE(writeFileAtomically(rig.paths.state / "history.ndjson",
                                  old + "\n" + old + "\nnot a row\n" + recent + "\n"));
  rig.now += 3600;
  rig.recorder->check();
  const auto rows = rig.rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "not a row");
  EXPECT_EQ(rows[1], recent);
  EXPECT_TRUE(rows[2].starts_with("{\"ts\":\"" + isots(rig.now) + "\","));
}

}  // namespace
}  // namespace brimvale::app
