// A transfer with a daily schedule, run by the real `brimvale run` on a clock
// the test sets: it runs once at its slot, not again within the day, and a
// slot missed while the application was down is made up once, not once per
// missed day.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "background_app.h"
#include "cloud/sync_job.h"
#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "service_process.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// 2026-05-28 20:27:05 UTC; the schedule's slot is 20:28 the same day.
constexpr std::time_t kStart = 1'780'000'025;
constexpr std::time_t kFirstSlot = 1'780'000'080;
constexpr std::time_t kDay = 86'400;

class ScheduledTransferE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    scripts_ = makeStatusWritingScripts(home_);
    clock_ = home_.path() / "clock";
    setClock(kStart);
    ASSERT_EQ(appCommand({"--scripts", scripts_.string(), "install"}).exitCode, 0);
    source_ = home_.path() / "Photos";
    fs::create_directories(source_);
    ASSERT_TRUE(writeFileAtomically(source_ / "beach.jpg", "sand"));
    // Run once by hand an hour before, as a user would before scheduling it.
    auto job = cloud::newSyncJob(source_.string(), (home_.path() / "Backup").string(),
                                 cloud::JobMode::kCopy, kStart - 3600);
    job.state = cloud::JobState::kCompleted;
    templateId_ = job.id;
    ASSERT_TRUE(cloud::JobListFile(jobsFile()).save({job}).has_value());
  }

  void setClock(std::time_t t) const {
    ASSERT_TRUE(writeFileAtomically(clock_, std::to_string(t)));
  }
  ProcessResult appCommand(std::vector<std::string> args) const {
    args.insert(args.begin(), "--clock-file=" + clock_.string());
    return runApp(home_, std::move(args), {{"TZ", "UTC"}});
  }
  std::unique_ptr<BackgroundApp> startRun(const std::string& output) const {
    return std::make_unique<BackgroundApp>(
        home_,
        std::vector<std::string>{"--clock-file=" + clock_.string(), "--scripts", scripts_.string(),
                                 "run"},
        output, Env{{"TZ", "UTC"}});
  }
  [[nodiscard]] fs::path jobsFile() const { return home_.path() / ".brimvale/sync/jobs.json"; }
  [[nodiscard]] std::vector<cloud::SyncJob> jobs() const {
    return cloud::JobListFile(jobsFile()).load().value_or(std::vector<cloud::SyncJob>{});
  }
  // The runs the schedule started, and how many of them completed.
  [[nodiscard]] std::pair<std::size_t, std::size_t> runs() const {
    std::size_t started = 0, completed = 0;
    for (const auto& job : jobs()) {
      if (!job.isScheduledInstance) continue;
      ++started;
      if (job.state == cloud::JobState::kCompleted) ++completed;
    }
    return {started, completed};
  }
  [[nodiscard]] std::optional<std::time_t> lastScheduledRun() const {
    for (const auto& job : jobs()) {
      if (job.id == templateId_) return job.lastScheduledRun;
    }
    return std::nullopt;
  }
  static bool running(BackgroundApp& run) {
    return eventually([&] { return run.output().find("Brimvale is running") != std::string::npos; },
                      30s);
  }

  TempHome home_;
  fs::path scripts_, clock_, source_;
  std::string templateId_;
};

TEST_F(ScheduledTransferE2E, RunsOnceAtItsSlotAndOnceForSlotsMissedWhileDown) {
  if (!fs::exists("/usr/bin/rclone")) GTEST_SKIP() << "rclone is not installed";
  const ProcessResult set =
      appCommand({"transfers", "schedule", templateId_.substr(0, 8), "daily", "20:28"});
  ASSERT_EQ(set.exitCode, 0) << set.err;

  auto run = startRun("run-1.txt");
  ASSERT_TRUE(running(*run)) << run->output();
  // A minute before the slot: ticks go by and nothing starts.
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(runs(), (std::pair<std::size_t, std::size_t>{0, 0}));

  setClock(kStart + 120);
  ASSERT_TRUE(eventually([&] { return runs().second == 1; }, 60s)) << run->output();
  EXPECT_EQ(readFile(home_.path() / "Backup/beach.jpg").value_or(""), "sand");
  EXPECT_EQ(lastScheduledRun(), kFirstSlot);
  // Later ticks of the same day start nothing more.
  setClock(kStart + 600);
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(runs().first, 1u);

  run->signal(SIGTERM);
  EXPECT_EQ(run->wait(30s), 0) << run->output();

  // Three daily slots pass while the application is down: one run makes them up.
  setClock(kStart + 3 * kDay + 120);
  run = startRun("run-2.txt");
  ASSERT_TRUE(running(*run)) << run->output();
  ASSERT_TRUE(eventually([&] { return runs().second == 2; }, 60s)) << run->output();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(runs().first, 2u);
  EXPECT_EQ(lastScheduledRun(), kFirstSlot + 3 * kDay);
  run->signal(SIGTERM);
  EXPECT_EQ(run->wait(30s), 0) << run->output();
}

}  // namespace
}  // namespace brimvale::e2e
