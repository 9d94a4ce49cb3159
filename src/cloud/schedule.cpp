#include "cloud/schedule.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace brimvale::cloud {

namespace {

using nlohmann::json;

// A calendar day with no time zone attached; arithmetic runs through timegm
// so it never meets a daylight-saving change.
struct CivilDay {
  int year;
  int month;  // 1-12
  int day;    // 1-31
};

std::time_t civilToUtc(const CivilDay& d, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = d.year - 1900;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  return timegm(&tm);
}

std::tm utcFields(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

CivilDay addDays(const CivilDay& d, int days) {
  const std::tm tm = utcFields(civilToUtc(d, 12, 0) + static_cast<std::time_t>(days) * 86400);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

int weekdayOf(const CivilDay& d) { return utcFields(civilToUtc(d, 12, 0)).tm_wday + 1; }

int daysInMonth(int year, int month) {
  const CivilDay next = month == 12 ? CivilDay{year + 1, 1, 1} : CivilDay{year, month + 1, 1};
  return addDays(next, -1).day;
}

CivilDay localDay(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

// The earliest moment whose local wall time is exactly this day and minute.
std::optional<std::time_t> exactLocal(const CivilDay& d, int hour, int minute) {
  std::optional<std::time_t> best;
  for (const int isDst : {0, 1}) {
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = isDst;
    const std::time_t t = mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) continue;
    std::tm back{};
    localtime_r(&t, &back);
    const bool same = back.tm_year == d.year - 1900 && back.tm_mon == d.month - 1 &&
                      back.tm_mday == d.day && back.tm_hour == hour && back.tm_min == minute;
    if (same && (!best || t < *best)) best = t;
  }
  return best;
}

// The wall time made real: its first occurrence, or, inside a gap, the first
// minute after it that exists (gaps last at most a few hours).
std::time_t resolveLocal(const CivilDay& d, int hour, int minute) {
  const std::time_t wall = civilToUtc(d, hour, minute);
  for (int step = 0; step <= 24 * 60; ++step) {
    const std::tm tm = utcFields(wall + static_cast<std::time_t>(step) * 60);
    const CivilDay day{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
    if (const auto t = exactLocal(day, tm.tm_hour, tm.tm_min)) return *t;
  }
  // A zone whose rules never give this wall time back: fall back to mktime's guess.
  std::tm tm = utcFields(wall);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

}  // namespace

json scheduleToJson(const Schedule& schedule) {
  return json{{"kind", rawNameOf(kScheduleKindNames, schedule.kind)},
              {"everyN", schedule.everyN},
              {"hour", schedule.hour},
              {"minute", schedule.minute},
              {"weekday", schedule.weekday}};
}

std::optional<Schedule> scheduleFromJson(const json& value) {
  if (!value.is_object()) return std::nullopt;
  Schedule schedule;
  const auto kindIt = value.find("kind");
  if (kindIt != value.end()) {
    if (!kindIt->is_string()) return std::nullopt;
    const auto kind = valueOfRaw(kScheduleKindNames, kindIt->get<std::string>());
    if (!kind) return std::nullopt;
    schedule.kind = *kind;
  }
  const auto readInt = [&](const char* key, int& out, int low, int high) {
    const auto it = value.find(key);
    if (it == value.end()) return true;
    if (!it->is_number_integer()) return false;
    const auto n = it->get<long long>();
    if (n < low || n > high) return false;
    out = static_cast<int>(n);
    return true;
  };
  const int everyNHigh = schedule.kind == ScheduleKind::kMonthly ? 31 : 10000;
  if (!readInt("everyN", schedule.everyN, 1, everyNHigh) ||
      !readInt("hour", schedule.hour, 0, 23) || !readInt("minute", schedule.minute, 0, 59) ||
      !readInt("weekday", schedule.weekday, 1, 7)) {
    return std::nullopt;
  }
  return schedule;
}

std::string_view scheduleKindHelp(ScheduleKind kind) {
  switch (kind) {
    case ScheduleKind::kNone: return "This transfer will only run when you trigger it manually.";
    case ScheduleKind::kMonthly:
      return "Months without that day-of-month (e.g. day 31 in February) fire on the last day of "
             "the month.";
    default: return "";
  }
}

std::string_view weekdayName(int weekday) {
  static constexpr std::array<std::string_view, 7> kNames{
      "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  if (weekday < 1 || weekday > 7) return "";
  return kNames[static_cast<std::size_t>(weekday - 1)];
}

std::string describeSchedule(const Schedule& schedule) {
  char time[8];
  std::snprintf(time, sizeof time, "%02d:%02d", schedule.hour, schedule.minute);
  switch (schedule.kind) {
    case ScheduleKind::kNone: return "Manual only";
    case ScheduleKind::kHourly: {
      const int n = std::max(schedule.everyN, 1);
      return n == 1 ? "Every hour" : "Every " + std::to_string(n) + " hours";
    }
    case ScheduleKind::kDaily: return std::string("Every day at ") + time;
    case ScheduleKind::kWeekly:
      return "Every " + std::string(weekdayName(schedule.weekday)) + " at " + time;
    case ScheduleKind::kMonthly:
      return "Every month on day " + std::to_string(schedule.everyN) + " at " + time;
  }
  return "Manual only";
}

std::string nextRunText(std::time_t when) {
  char text[32];
  std::tm tm{};
  localtime_r(&when, &tm);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return std::string("Next run: ") + text;
}

std::optional<std::time_t> nextRun(const Schedule& schedule, std::time_t after) {
  const int hour = std::clamp(schedule.hour, 0, 23);
  const int minute = std::clamp(schedule.minute, 0, 59);
  const CivilDay start = localDay(after);
  switch (schedule.kind) {
    case ScheduleKind::kNone: return std::nullopt;
    case ScheduleKind::kHourly:
      return after + static_cast<std::time_t>(std::max(schedule.everyN, 1)) * 3600;
    case ScheduleKind::kDaily:
      // Two days always suffice; a third covers a gap pushing a time past midnight.
      for (int i = 0; i < 3; ++i) {
        const std::time_t t = resolveLocal(addDays(start, i), hour, minute);
        if (t > after) return t;
      }
      break;
    case ScheduleKind::kWeekly:
      for (int i = 0; i < 15; ++i) {
        const CivilDay day = addDays(start, i);
        if (weekdayOf(day) != schedule.weekday) continue;
        const std::time_t t = resolveLocal(day, hour, minute);
        if (t > after) return t;
      }
      break;
    case ScheduleKind::kMonthly: {
      const int wanted = std::clamp(schedule.everyN, 1, 31);
      int year = start.year;
      int month = start.month;
      for (int i = 0; i < 14; ++i) {
        const CivilDay day{year, month, std::min(wanted, daysInMonth(year, month))};
        const std::time_t t = resolveLocal(day, hour, minute);
        if (t > after) return t;
        if (++month == 13) {
          month = 1;
          ++year;
        }
      }
      break;
    }
  }
  return std::nullopt;
}

std::optional<std::time_t> dueRun(const Schedule& schedule, std::time_t reference,
                                  std::time_t now) {
  auto slot = nextRun(schedule, reference);
  if (!slot || *slot > now) return std::nullopt;
  if (schedule.kind == ScheduleKind::kHourly) {
    const std::time_t step = static_cast<std::time_t>(std::max(schedule.everyN, 1)) * 3600;
    return *slot + (now - *slot) / step * step;
  }
  while (true) {
    const auto following = nextRun(schedule, *slot);
    if (!following || *following > now) return slot;
    slot = following;
  }
}

}  // namespace brimvale::cloud
