#include "app/core/transfer_schedule_command.h"

#include <algorithm>
#include <charconv>

#include "app/core/short_id.h"
#include "cloud/schedule_timer.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

using cloud::Schedule;
using cloud::ScheduleKind;
using cloud::SyncJob;

constexpr std::string_view kUsage =
    "brimvale transfers schedule ID manual|hourly N|daily HH:MM|weekly DAY HH:MM|monthly DAY "
    "HH:MM";

std::optional<int> wholeNumber(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// "HH:MM" (or "H:MM") on the 24-hour clock.
bool readTime(std::string_view text, Schedule& s) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || text.size() - colon != 3) return false;
  const auto hour = wholeNumber(text.substr(0, colon), 0, 23);
  const auto minute = wholeNumber(text.substr(colon + 1), 0, 59);
  if (!hour || !minute || colon == 0 || colon > 2) return false;
  s.hour = *hour;
  s.minute = *minute;
  return true;
}

// 1 = Sunday ... 7 = Saturday, from the full name or its first three letters.
std::optional<int> readWeekday(std::string_view word) {
  const std::string lower = asciiLower(word);
  for (int day = 1; day <= 7; ++day) {
    const std::string name = asciiLower(cloud::weekdayName(day));
    if (lower == name || (lower.size() == 3 && name.starts_with(lower))) return day;
  }
  return std::nullopt;
}

std::string timeProblem(const std::string& word) {
  return "The time must be HH:MM on the 24-hour clock, such as 03:00, not " + word +
         ". Nothing was changed.";
}

}  // namespace

std::expected<Schedule, std::string> scheduleFromWords(const std::vector<std::string>& words) {
  const auto wrongCount = [&] {
    return std::unexpected("Say when the transfer runs: " + std::string(kUsage) +
                           ". Nothing was changed.");
  };
  if (words.empty()) return wrongCount();
  Schedule s;
  const std::string kind = asciiLower(words[0]);
  if (kind == "manual") {
    if (words.size() != 1) return wrongCount();
    s.kind = ScheduleKind::kNone;
  } else if (kind == "hourly") {
    if (words.size() != 2) return wrongCount();
    const auto n = wholeNumber(words[1], 1, 24 * 366);
    if (!n) {
      return std::unexpected("The hours between runs must be a whole number of at least 1, not " +
                             words[1] + ". Nothing was changed.");
    }
    s.kind = ScheduleKind::kHourly;
    s.everyN = *n;
  } else if (kind == "daily") {
    if (words.size() != 2) return wrongCount();
    s.kind = ScheduleKind::kDaily;
    if (!readTime(words[1], s)) return std::unexpected(timeProblem(words[1]));
  } else if (kind == "weekly") {
    if (words.size() != 3) return wrongCount();
    const auto day = readWeekday(words[1]);
    if (!day) {
      return std::unexpected("The day must be a weekday from Sunday to Saturday, not " + words[1] +
                             ". Nothing was changed.");
    }
    s.kind = ScheduleKind::kWeekly;
    s.weekday = *day;
    if (!readTime(words[2], s)) return std::unexpected(timeProblem(words[2]));
  } else if (kind == "monthly") {
    if (words.size() != 3) return wrongCount();
    const auto day = wholeNumber(words[1], 1, 31);
    if (!day) {
      return std::unexpected("The day of the month must be from 1 to 31, not " + words[1] +
                             ". Nothing was changed.");
    }
    s.kind = ScheduleKind::kMonthly;
    s.everyN = *day;
    if (!readTime(words[2], s)) return std::unexpected(timeProblem(words[2]));
  } else {
    return std::unexpected("The schedule must be manual, hourly, daily, weekly or monthly, not " +
                           words[0] + ". Nothing was changed.");
  }
  return s;
}

std::optional<std::time_t> jobNextRun(const SyncJob& job) {
  if (!job.schedule || job.isScheduledInstance) return std::nullopt;
  const auto schedule = cloud::scheduleFromJson(*job.schedule);
  if (!schedule) return std::nullopt;
  const std::time_t reference = std::max(job.createdAt, job.lastScheduledRun.value_or(0));
  return cloud::nextRun(*schedule, reference);
}

std::string scheduleListSuffix(const SyncJob& job, std::time_t now) {
  const auto next = jobNextRun(job);
  if (!next) return "";
  // jobNextRun only gives a time for a schedule that decodes.
  const auto schedule = cloud::scheduleFromJson(*job.schedule);
  return "  · " + cloud::describeSchedule(*schedule) + ", next run " +
         (*next <= now ? "overdue " : "") + localMinute(*next);
}

int scheduleTransferCommand(const std::filesystem::path& jobsFile,
                            const std::vector<std::string>& words, std::time_t now,
                            std::ostream& out, std::ostream& err) {
  if (words.size() < 2) {
    err << "Say which transfer and when it runs: " << kUsage << ". Nothing was changed.\n";
    return 2;
  }
  const auto schedule = scheduleFromWords({words.begin() + 1, words.end()});
  if (!schedule) {
    err << schedule.error() << "\n";
    return 2;
  }
  // Under the list's lock: the running application saves the same file
  // whenever a transfer moves on.
  std::string refusal;
  SyncJob job;
  auto written = cloud::JobListFile(jobsFile).update([&](std::vector<SyncJob>& jobs) {
    const SyncJob* found = cloud::jobWithPrefix(jobs, words[0]);
    if (!found) {
      refusal = "No single transfer has an id starting with " + words[0] +
                " (see brimvale transfers list). Nothing was changed.";
      return;
    }
    if (found->isScheduledInstance) {
      refusal =
          "That transfer is one run of a schedule; set the schedule on the transfer it was made "
          "from. Nothing was changed.";
      return;
    }
    SyncJob& stored = *std::find_if(jobs.begin(), jobs.end(),
                                    [&](const SyncJob& j) { return j.id == found->id; });
    if (schedule->kind == ScheduleKind::kNone) {
      stored.schedule.reset();
    } else {
      stored.schedule = cloud::scheduleToJson(*schedule);
      // Slots before now were never asked for; the first run is the next one.
      stored.lastScheduledRun = now;
    }
    job = stored;
  });
  if (!written) {
    err << written.error().message() << " The schedule was not changed.\n";
    return 1;
  }
  if (!refusal.empty()) {
    err << refusal << "\n";
    return 1;
  }
  const std::string id = shortId(job.id);
  if (schedule->kind == ScheduleKind::kNone) {
    out << "Transfer " << id << ": " << cloud::describeSchedule(*schedule) << ". "
        << cloud::scheduleKindHelp(ScheduleKind::kNone) << "\n";
    return 0;
  }
  out << "Transfer " << id << " now runs: " << cloud::describeSchedule(*schedule) << ". "
      << cloud::nextRunText(*jobNextRun(job)) << ".\n";
  if (schedule->kind == ScheduleKind::kMonthly && schedule->everyN > 28) {
    out << cloud::scheduleKindHelp(ScheduleKind::kMonthly) << "\n";
  }
  out << "Scheduled runs start while Brimvale runs (brimvale run); runs missed while it was not "
         "running are made up once when it starts.\n";
  return 0;
}

}  // namespace brimvale::app
