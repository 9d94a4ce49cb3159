#include "app/core/transfer_schedule_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using cloud::Schedule;
using cloud::ScheduleKind;

// Local time in a fixed zone for the length of a test.
class ZoneForTest {
 public:
  explicit ZoneForTest(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneForTest() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(ScheduleWords, ReadEveryKindAndRefuseWhatIsOutOfRange) {
  struct Case {
    std::vector<std::string> words;
    std::optional<Schedule> want;  // none: refused
    const char* says = "";         // in the refusal
  };
  const Case cases[] = {
      {{"manual"}, Schedule{.kind = ScheduleKind::kNone}},
      {{"hourly", "6"}, Schedule{.kind = ScheduleKind::kHourly, .everyN = 6}},
      {{"hourly", "0"}, std::nullopt, "at least 1, not 0"},
      {{"hourly"}, std::nullopt, "Say when the transfer runs"},
      {{"daily", "02:30"}, Schedule{.kind = ScheduleKind::kDaily, .hour = 2, .minute = 30}},
      {{"DAILY", "7:05"}, Schedule{.kind = ScheduleKind::kDaily, .hour = 7, .minute = 5}},
      {{"daily", "24:00"}, std::nullopt, "HH:MM on the 24-hour clock"},
      {{"daily", "12:5"}, std::nullopt, "HH:MM on the 24-hour clock"},
      {{"daily", "1230"}, std::nullopt, "HH:MM on the 24-hour clock"},
      {{"weekly", "sunday", "03:00"},
       Schedule{.kind = ScheduleKind::kWeekly, .hour = 3, .weekday = 1}},
      {{"weekly", "Sat", "23:59"},
       Schedule{.kind = ScheduleKind::kWeekly, .hour = 23, .minute = 59, .weekday = 7}},
      {{"weekly", "Someday", "03:00"}, std::nullopt, "from Sunday to Saturday"},
      {{"monthly", "31", "03:00"},
       Schedule{.kind = ScheduleKind::kMonthly, .everyN = 31, .hour = 3}},
      {{"monthly", "32", "03:00"}, std::nullopt, "from 1 to 31, not 32"},
      {{"monthly", "31"}, std::nullopt, "Say when the transfer runs"},
      {{"yearly", "03:00"}, std::nullopt, "manual, hourly, daily, weekly or monthly"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.words.empty() ? "" : k.words[0] + " " + (k.words.size() > 1 ? k.words[1] : ""));
    const auto got = scheduleFromWords(k.words);
    if (k.want) {
      ASSERT_TRUE(got.has_value()) << got.error();
      EXPECT_EQ(*got, *k.want);
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_NE(got.error().find(k.says), std::string::npos) << got.error();
      EXPECT_TRUE(got.error().ends_with("Nothing was changed.")) << got.error();
    }
  }
}

// Given a job list with a plain job and a run a schedule started, then
// `transfers schedule` sets or clears the schedule of the one it names,
// counting from now, and the list shows the next run; the others stay as they were.
TEST(ScheduleTransferCommand, SetsTheScheduleAndTheListShowsTheNextRun) {
  ZoneForTest zone("Europe/Berlin");
  testing::TempFolder root{"bv-schedule-cmd"};
  const fs::path jobsFile = root / "sync/jobs.json";
  const std::time_t created = 1'780'000'000;  // 2026-05-28 22:26:40 in Berlin
  const std::time_t now = created + 86'400 * 3;
  auto plain = cloud::newSyncJob("/tmp/a", "remote:a", cloud::JobMode::kCopy, created);
  plain.id = "AAAA0000-0000-4000-8000-000000000001";
  auto instance = plain;
  instance.id = "BBBB0000-0000-4000-8000-000000000002";
  instance.isScheduledInstance = true;
  ASSERT_TRUE(cloud::JobListFile(jobsFile).save({plain, instance}).has_value());

  struct Step {
    std::vector<std::string> words;
    int status;
    const char* says;        // the start of out (status 0) or a piece of err
    const char* listSuffix;  // what the list adds to the plain job afterwards
  };
  const Step steps[] = {
      {{"aaaa", "daily", "02:30"},
       0,
       "Transfer AAAA0000 now runs: Every day at 02:30. Next run: 2026-06-01 02:30.\n",
       "  · Every day at 02:30, next run 2026-06-01 02:30"},
      {{"AAAA", "monthly", "31", "03:00"},
       0,
       "Transfer AAAA0000 now runs: Every month on day 31 at 03:00. Next run: 2026-06-30 03:00.\n"
       "Months without that day-of-month (e.g. day 31 in February) fire on the last day of the "
       "month.\n",
       "  · Every month on day 31 at 03:00, next run 2026-06-30 03:00"},
      {{"BBBB", "daily", "03:00"}, 1, "one run of a schedule", ""},
      {{"CCCC", "daily", "03:00"}, 1, "No single transfer has an id starting with CCCC", ""},
      {{"AAAA", "daily", "3"}, 2, "HH:MM", ""},
      {{"AAAA", "manual"},
       0,
       "Transfer AAAA0000: Manual only. This transfer will only run when you trigger it "
       "manually.\n",
       ""},
  };
  std::string suffix;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.words[0] + " " + s.words[1]);
    std::ostringstream out, err;
    EXPECT_EQ(scheduleTransferCommand(jobsFile, s.words, now, out, err), s.status) << err.str();
    if (s.status == 0) {
      EXPECT_TRUE(out.str().starts_with(s.says)) << out.str();
      suffix = s.listSuffix;
    } else {
      EXPECT_NE(err.str().find(s.says), std::string::npos) << err.str();
    }
    const auto jobs = cloud::JobListFile(jobsFile).load();
    ASSERT_TRUE(jobs.has_value());
    ASSERT_EQ(jobs->size(), 2u);
    EXPECT_EQ(scheduleListSuffix((*jobs)[0], now), suffix);
    EXPECT_EQ((*jobs)[1], instance);
  }
}

// Given a schedule whose slot passed while nothing ran, then the list calls
// it overdue rather than showing a run in the past as upcoming.
TEST(ScheduleTransferCommand, ListCallsAPassedSlotOverdue) {
  ZoneForTest zone("America/New_York");
  auto job = cloud::newSyncJob("/tmp/a", "remote:a", cloud::JobMode::kCopy, 1'780'000'000);
  job.schedule = cloud::scheduleToJson({.kind = ScheduleKind::kHourly, .everyN = 2});
  EXPECT_EQ(scheduleListSuffix(job, job.createdAt + 3600),
            "  · Every 2 hours, next run 2026-05-28 18:26");
  EXPECT_EQ(scheduleListSuffix(job, job.createdAt + 3 * 3600),
            "  · Every 2 hours, next run overdue 2026-05-28 18:26");
  job.isScheduledInstance = true;
  EXPECT_EQ(scheduleListSuffix(job, job.createdAt), "");
}

}  // namespace
}  // namespace brimvale::app
