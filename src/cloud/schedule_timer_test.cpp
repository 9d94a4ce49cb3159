#include "cloud/schedule_timer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "testing/platform/fake_scheduler.h"

namespace brimvale::cloud {
namespace {

std::time_t atTime(const char* iso) { return *parseIsots(iso); }

TEST(ScheduleTimer, StartsEachDueTemplateOnceAfterDowntime) {
  const char* old = std::getenv("TZ");
  const std::string previous = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();

  const Schedule daily{ScheduleKind::kDaily, 6, 3, 0, 1};
  const Schedule hourly{ScheduleKind::kHourly, 2, 0, 0, 1};
  std::map<std::string, ScheduledTemplate> jobs{
      // Ran 2026-06-01 03:00; the computer was off until the 4th.
      {"daily", {"daily", daily, atTime("2026-05-01T00:00:00Z"), atTime("2026-06-01T01:00:00Z")}},
      // Never ran: counted from its creation.
      {"hourly", {"hourly", hourly, atTime("2026-06-03T20:00:00Z"), std::nullopt}},
      {"manual", {"manual", Schedule{}, atTime("2026-05-01T00:00:00Z"), std::nullopt}},
      // Created after today's slot: its first run is tomorrow.
      {"new", {"new", daily, atTime("2026-06-04T02:00:00Z"), std::nullopt}},
  };
  std::time_t now = atTime("2026-06-04T09:30:00Z");
  std::vector<std::pair<std::string, std::string>> started;
  platform::testing::FakeScheduler scheduler;
  ScheduleTimer timer(
      scheduler,
      [&] {
        std::vector<ScheduledTemplate> list;
        for (const auto& [id, job] : jobs) list.push_back(job);
        return list;
      },
      [&](const std::string& id, std::time_t slot) {
        started.emplace_back(id, isots(slot));
        jobs[id].lastScheduledRun = slot;
      },
      [&] { return now; });
  timer.start();
  ASSERT_EQ(scheduler.timers.size(), 1u);
  EXPECT_EQ(scheduler.timers.begin()->second.name, "schedules.timer");

  struct Step {
    const char* now;
    std::vector<std::pair<std::string, std::string>> started;
  } steps[] = {
      {"2026-06-04T09:30:00Z",
       {{"daily", "2026-06-04T01:00:00Z"}, {"hourly", "2026-06-04T08:00:00Z"}}},
      {"2026-06-04T09:31:00Z", {}},
      {"2026-06-04T10:00:00Z", {{"hourly", "2026-06-04T10:00:00Z"}}},
      {"2026-06-05T01:00:00Z",
       {{"daily", "2026-06-05T01:00:00Z"},
        {"hourly", "2026-06-05T00:00:00Z"},
        {"new", "2026-06-05T01:00:00Z"}}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.now);
    now = atTime(step.now);
    started.clear();
    scheduler.timers.begin()->second.fire();
    EXPECT_EQ(started, step.started);
  }
  timer.stop();
  EXPECT_TRUE(scheduler.timers.empty());

  if (old) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace brimvale::cloud
