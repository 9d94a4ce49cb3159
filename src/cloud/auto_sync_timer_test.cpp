#include "cloud/auto_sync_timer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <map>

#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

// Keeps background work until the test lets it run, as a busy worker would.
class HoldingScheduler final : public platform::Scheduler {
 public:
  TimerId scheduleRepeating(std::string name, std::chrono::milliseconds interval,
                            std::chrono::milliseconds, std::function<void()> fire) override {
    timers[++lastId] = {std::move(name), interval, std::move(fire)};
    return lastId;
  }
  void cancel(TimerId id) override { timers.erase(id); }
  void runInBackground(std::function<std::function<void()>()> work) override {
    held.push_back(std::move(work));
  }
  void finishHeldWork() {
    while (!held.empty()) {
      auto work = std::move(held.front());
      held.pop_front();
      if (auto then = work()) then();
    }
  }
  struct Timer {
    std::string name;
    std::chrono::milliseconds interval;
    std::function<void()> fire;
  };
  std::map<TimerId, Timer> timers;
  TimerId lastId = 0;
  std::deque<std::function<std::function<void()>()>> held;
};

TEST(AutoSyncTimer, TicksOnceAMinuteAndNeverOverlaps) {
  brimvale::testing::TempFolder root;
  const fs::path home = root.folder("home/alice");
  const fs::path drive = root.folder("drive/BRIM-Test");
  std::time_t now = 1'800'000'000;
  bool mounted = true;
  std::vector<std::string> queued;
  transfers::BackgroundJobsStore ledger(home / ".brimvale/state", [&] { return now; });
  AutoSyncSettings s;
  s.stateDir = home / ".brimvale/state";
  s.roots = {home, drive};
  s.driveMounted = [&] { return mounted; };
  s.queueCopy = [&](const std::string& file, const std::string&) {
    queued.push_back(fs::path(file).filename().string());
    return QueueOutcome{};
  };
  s.ledger = &ledger;
  s.clock = [&] { return now; };
  AutoSyncManager manager(std::move(s));
  ASSERT_TRUE(manager.registerPolicy((home / "Projects").string(), (drive / "P").string()));
  const auto file = root.file("home/alice/Projects/a.txt");
  const timespec times[2] = {{now - 3600, 0}, {now - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  HoldingScheduler scheduler;
  {
    AutoSyncTimer timer(scheduler, manager);
    timer.start();
    timer.start();
    ASSERT_EQ(scheduler.timers.size(), 1u);
    const auto& entry = scheduler.timers.begin()->second;

    entry.fire();
    entry.fire();  // the first tick's scan is still running
    EXPECT_EQ(scheduler.held.size(), 1u);
    EXPECT_TRUE(queued.empty());  // files are queued only once the scan is back
    scheduler.finishHeldWork();
    EXPECT_EQ(queued, std::vector<std::string>{"a.txt"});

    entry.fire();
    EXPECT_EQ(scheduler.held.size(), 1u);
    scheduler.finishHeldWork();

    mounted = false;
    entry.fire();
    EXPECT_TRUE(scheduler.held.empty());
    EXPECT_EQ(ledger.readJobs().back().lastSummary,
              "Your fast drive isn't connected, so nothing was copied.");
  }
  EXPECT_TRUE(scheduler.timers.empty());
}

}  // namespace
}  // namespace brimvale::cloud
