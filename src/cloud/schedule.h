// When a transfer job re-runs by itself: the schedule kinds, their texts, the
// JSON record kept inside the job, and the next-run arithmetic in local time.
#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "common/base/raw_names.h"

namespace brimvale::cloud {

// Persisted by raw string; the order is the order the sheet offers them.
enum class ScheduleKind { kNone, kHourly, kDaily, kWeekly, kMonthly };
inline constexpr std::array<RawName<ScheduleKind>, 5> kScheduleKindNames{{
    {ScheduleKind::kNone, "none"},
    {ScheduleKind::kHourly, "hourly"},
    {ScheduleKind::kDaily, "daily"},
    {ScheduleKind::kWeekly, "weekly"},
    {ScheduleKind::kMonthly, "monthly"},
}};

// The record has exactly the keys kind, everyN, hour, minute and weekday, so
// a monthly schedule keeps its day of the month (1-31) in everyN.
struct Schedule {
  ScheduleKind kind = ScheduleKind::kNone;
  int everyN = 6;   // hourly: hours between runs; monthly: the day of the month
  int hour = 3;     // 0-23
  int minute = 0;   // 0-59
  int weekday = 1;  // 1 = Sunday ... 7 = Saturday

  bool operator==(const Schedule&) const = default;
};

[[nodiscard]] nlohmann::json scheduleToJson(const Schedule& schedule);
// Missing keys take the sheet's defaults; an unknown kind or a value out of
// its range gives nothing, so a damaged record never fires at a wrong time.
[[nodiscard]] std::optional<Schedule> scheduleFromJson(const nlohmann::json& json);

// The line under the picker: what manual means, how short months are handled.
[[nodiscard]] std::string_view scheduleKindHelp(ScheduleKind kind);
// "Sunday" ... "Saturday" for 1 ... 7; empty otherwise.
[[nodiscard]] std::string_view weekdayName(int weekday);
// One line for lists: "Every 6 hours", "Every day at 03:00",
// "Every Sunday at 03:00", "Every month on day 31 at 03:00", "Manual only".
[[nodiscard]] std::string describeSchedule(const Schedule& schedule);
// "Next run: 2026-03-29 03:00" in local time.
[[nodiscard]] std::string nextRunText(std::time_t when);

// The first run strictly after `after`, in the current local time zone; none
// for a manual schedule. A wall-clock time that occurs twice (clocks going
// back) gives its first occurrence; one that does not exist (clocks going
// forward) gives the first existing moment after it.
[[nodiscard]] std::optional<std::time_t> nextRun(const Schedule& schedule, std::time_t after);

// The run that is due at `now` for a job last run (or created) at
// `reference`: the latest slot not after `now`, or nothing when the next slot
// is still ahead. A computer that slept through several slots gets one run.
[[nodiscard]] std::optional<std::time_t> dueRun(const Schedule& schedule, std::time_t reference,
                                                std::time_t now);

}  // namespace brimvale::cloud
