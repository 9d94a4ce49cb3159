#include "app/core/transfer_schedule_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "testing/base/temp_folder.h"

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
      {{"daily", "02:30"}, Schedule{.kind = ScheduleKind::kDaily, .hour = 2, .minute = 30}},
      {{"daily", "24:00"}, std::nullopt, "HH:MM on the 24-hour clock"},
      {{"weekly", "Sat", "23:59"},
       Schedule{.kind = ScheduleKind::kWeekly, .hour = 23, .minute = 59, .weekday = 7}},
      {{"weekly", "Someday", "03:00"}, std::nullopt, "from Sunday to Saturday"},
      {{"monthly", "31", "03:00"},
       Schedule{.kind = ScheduleKind::kMonthly, .everyN = 31, .hour = 3}},
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

}  // namespace
}  // namespace brimvale::app
