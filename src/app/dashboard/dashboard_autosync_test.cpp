#include "app/dashboard/dashboard_autosync.h"

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {
using cloud::Schedule;
using cloud::ScheduleKind;
using nlohmann::json;

// Given the schedule form's fields, then the words it makes are read by the
// command as the schedule the form showed, or the form is refused whole.
TEST(ScheduleForm, FieldsBecomeTheScheduleTheFormShowed) {
  struct Case {
    const char* name;
    json form;
    std::optional<Schedule> want;  // none: refused before or by the command
  };
  const Case cases[] = {
      {"manual only", {{"kind", "none"}, {"time", "03:00"}}, Schedule{.kind = ScheduleKind::kNone}},
      {"every 6 hours",
       {{"kind", "hourly"}, {"every", "6"}},
       Schedule{.kind = ScheduleKind::kHourly, .everyN = 6}},
      {"every day",
       {{"kind", "daily"}, {"time", "02:30"}, {"every", "9"}},
       Schedule{.kind = ScheduleKind::kDaily, .hour = 2, .minute = 30}},
      {"every Tuesday",
       {{"kind", "weekly"}, {"weekday", "Tuesday"}, {"time", "23:05"}},
       Schedule{.kind = ScheduleKind::kWeekly, .hour = 23, .minute = 5, .weekday = 3}},
      {"day 31 of each month",
       {{"kind", "monthly"}, {"day", "31"}, {"time", "03:00"}},
       Schedule{.kind = ScheduleKind::kMonthly, .everyN = 31, .hour = 3}},
      {"no time for a daily run", {{"kind", "daily"}}, std::nullopt},
      {"unknown kind", {{"kind", "yearly"}, {"time", "03:00"}}, std::nullopt},
      {"no kind", json::object(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto schedule = scheduleFromForm(c.form);
    if (c.want) {
      ASSERT_TRUE(schedule.has_value()) << schedule.error();
      EXPECT_EQ(*schedule, *c.want);
    } else {
      ASSERT_FALSE(schedule.has_value());
      EXPECT_TRUE(schedule.error().ends_with("Nothing was changed.")) << schedule.error();
    }
  }
}

}  // namespace
}  // namespace brimvale::app
