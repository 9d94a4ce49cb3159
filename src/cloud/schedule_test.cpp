#include "cloud/schedule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "common/base/timestamps.h"

namespace brimvale::cloud {
namespace {

// Sets TZ for one test and puts the previous value back.
class ZoneOverride {
 public:
  explicit ZoneOverride(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneOverride() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> previous_;
};

std::time_t at(const char* iso) { return *parseIsots(iso); }

Schedule daily(int hour, int minute) { return {ScheduleKind::kDaily, 6, hour, minute, 1}; }
Schedule weekly(int weekday, int hour, int minute) {
  return {ScheduleKind::kWeekly, 6, hour, minute, weekday};
}
Schedule monthly(int day, int hour, int minute) {
  return {ScheduleKind::kMonthly, day, hour, minute, 1};
}
Schedule hourly(int n) { return {ScheduleKind::kHourly, n, 3, 0, 1}; }

TEST(Schedule, NextRunInLocalTimeAcrossClockChanges) {
  struct Case {
    const char* what;
    const char* zone;
    Schedule schedule;
    const char* after;
    const char* next;  // UTC; empty for none
  } cases[] = {
      // Berlin: 2026-03-29 02:00 CET jumps to 03:00 CEST; 2026-10-25 03:00 CEST falls to 02:00.
      {"gap runs at the first existing minute", "Europe/Berlin", daily(2, 30),
       "2026-03-28T12:00:00Z", "2026-03-29T01:00:00Z"},
      {"repeated hour takes the first 02:30", "Europe/Berlin", daily(2, 30), "2026-10-24T12:00:00Z",
       "2026-10-25T00:30:00Z"},
      {"exactly at the slot moves a day", "Europe/Berlin", daily(18, 0), "2026-06-01T16:00:00Z",
       "2026-06-02T16:00:00Z"},
      // New York: 2026-03-08 02:00 EST jumps to 03:00 EDT.
      {"weekly into a gap", "America/New_York", weekly(1, 2, 30), "2026-03-04T12:00:00Z",
       "2026-03-08T07:00:00Z"},
      {"weekly on Monday after this Monday's slot", "America/New_York", weekly(2, 9, 15),
       "2026-03-09T14:00:00Z", "2026-03-16T13:15:00Z"},
      {"monthly 31 in February", "Europe/Berlin", monthly(31, 3, 0), "2026-02-01T00:00:00Z",
       "2026-02-28T02:00:00Z"},
      {"hourly counts real hours over the gap", "Europe/Berlin", hourly(6), "2026-03-29T00:00:00Z",
       "2026-03-29T06:00:00Z"},
      {"manual never runs", "Europe/Berlin", Schedule{}, "2026-03-29T00:00:00Z", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + ": " + c.what);
    ZoneOverride zone(c.zone);
    const auto next = nextRun(c.schedule, at(c.after));
    if (*c.next == '\0') {
      EXPECT_FALSE(next.has_value());
    } else {
      ASSERT_TRUE(next.has_value());
      EXPECT_EQ(isots(*next), c.next);
    }
  }
}

TEST(Schedule, JsonRoundTripsAndRejectsDamagedRecords) {
  const Schedule weeklyRun = weekly(7, 23, 59);
  EXPECT_EQ(scheduleFromJson(scheduleToJson(weeklyRun)), weeklyRun);

  struct Case {
    const char* text;
  } rejected[] = {
      {R"({"kind":"fortnightly"})"},
      {R"({"kind":"daily","hour":24})"},
      {R"({"kind":"weekly","weekday":8})"},
      {R"({"kind":"daily","hour":"3"})"},
  };
  for (const auto& c : rejected) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(scheduleFromJson(nlohmann::json::parse(c.text)).has_value());
  }
}

}  // namespace
}  // namespace brimvale::cloud
