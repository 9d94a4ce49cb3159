#include "care/home_report.h"

#include <gtest/gtest.h>

namespace brimvale::care {
namespace {

constexpr std::time_t kNow = 1'780'000'000;  // 2026-05-28T20:26:40Z

std::string row(std::time_t at, int freeGb) {
  char ts[32];
  std::tm fields{};
  gmtime_r(&at, &fields);
  std::strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%SZ", &fields);
  return std::string("{\"ts\":\"") + ts + "\",\"internal_free_gb\":" + std::to_string(freeGb) +
         ",\"internal_total_gb\":500}\n";
}

TEST(HomeReport, TrendStartsAtTheOldestRowOfTheWeek) {
  const std::string history = row(kNow - 9 * 86'400, 90) + "not json\n" +
                              row(kNow - 5 * 86'400 - 3'600, 60) + "{\"ts\":\"yesterday\"}\n" +
                              row(kNow - 86'400, 52) + row(kNow + 3'600, 10);
  const TrendInput trend = trendFromHistory(history, kNow, 48, "Macintosh HD");
  EXPECT_EQ(trend.freeGbAtStart, 60);
  EXPECT_EQ(trend.periodDays, 5);
  EXPECT_EQ(
      trendSentence(trend),
      "You've used about 12 GB more on Macintosh HD over the last 5 days — Zozad Evev can win "
      "some back.");

  const TrendInput fresh = trendFromHistory(row(kNow - 3'600, 50), kNow, 48, "Macintosh HD");
  EXPECT_EQ(fresh.periodDays, 0);
  EXPECT_EQ(trendFromHistory("", kNow, 48, "Macintosh HD").periodDays, 0);
}

TEST(HomeReport, NamesTheCommandOfTheNextStep) {
  const HomeFacts healthy{.internalFreeGb = 200,
                          .driveConnected = true,
                          .warnThresholdGb = 50,
                          .criticalThresholdGb = 25};
  struct Case {
    const char* name;
    HomeFacts facts;
    const char* nextStep;  // nullptr: no "Do this next" block
  };
  const Case cases[] = {
      {"paused: resume first",
       {.internalFreeGb = 5, .driveConnected = true, .paused = true},
       "  • Resume automatic actions: brimvale service resume\n"
       "  • Free up space: brimvale care\n"},
      {"drive missing",
       {.internalFreeGb = 200},
       "  • Manage your drive: brimvale service doctor\n"},
      {"old backups",
       {.internalFreeGb = 200,
        .driveConnected = true,
        .snapshotGb = 9,
        .warnThresholdGb = 50,
        .criticalThresholdGb = 25},
       "  • Reclaim old backups: brimvale snapshots thin 100000000000 4\n"},
      {"plenty of space", healthy, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string home = renderHome(c.facts, planSteps(c.facts), {"Macintosh HD", 0, 0, 0});
    const auto block = home.find("Do this next:\n");
    if (c.nextStep == nullptr) {
      EXPECT_EQ(block, std::string::npos) << home;
      continue;
    }
    ASSERT_NE(block, std::string::npos) << home;
    EXPECT_EQ(home.substr(block + 14, std::string(c.nextStep).size() + 1),
              std::string(c.nextStep) + "\n")
        << home;
  }
}

}  // namespace
}  // namespace brimvale::care
