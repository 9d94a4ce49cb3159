// `brimvale transfers schedule`: when a transfer re-runs by itself, set from
// the command line, and the next run the transfer list shows for each job.
#pragma once

#include <ctime>
#include <expected>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cloud/schedule.h"
#include "cloud/sync_job.h"

namespace brimvale::app {

// The schedule the words after the id describe: "manual", "hourly N",
// "daily HH:MM", "weekly DAY HH:MM" (a weekday name, any case, or its first
// three letters), "monthly DAY HH:MM" (1-31); or the sentence saying what is wrong.
[[nodiscard]] std::expected<cloud::Schedule, std::string> scheduleFromWords(
    const std::vector<std::string>& words);

// The next slot of `job`'s schedule, counted from the later of its last
// scheduled run and its creation; before now when a slot is overdue (the
// running application starts it within a minute). None for a job without a
// schedule (or a manual one) and for a run a schedule started.
[[nodiscard]] std::optional<std::time_t> jobNextRun(const cloud::SyncJob& job);

// What the transfer list adds for a scheduled job: "  · Every day at 03:00,
// next run 2026-03-29 03:00" (with "overdue" before the date when the slot
// has passed); empty for any other job.
[[nodiscard]] std::string scheduleListSuffix(const cloud::SyncJob& job, std::time_t now);

// `words`: ID then the schedule. Sets (or with "manual" clears) the job's
// schedule in `jobsFile`, counting its slots from `now` so that setting a
// schedule never starts a catch-up run of slots before it was set.
// 0 done, 1 refused, 2 bad usage.
int scheduleTransferCommand(const std::filesystem::path& jobsFile,
                            const std::vector<std::string>& words, std::time_t now,
                            std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
