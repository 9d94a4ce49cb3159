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

  const TrendInput oneDay = trendFromHistory(row(kNow - 86'400 - 60, 50), kNow, 48, "Macintosh HD");
  EXPECT_EQ(
      trendSentence(oneDay),
      "You've used about 2 GB more on Macintosh HD over the last day — Zozad Evev can win some "
      "back.");

  const TrendInput fresh = trendFromHistory(row(kNow - 3'600, 50), kNow, 48, "Macintosh HD");
  EXPECT_EQ(fresh.periodDays, 0);
  EXPECT_EQ(trendFromHistory("", kNow, 48, "Macintosh HD").periodDays, 0);
}

TEST(HomeReport, RendersEveryPartInOrder) {
  const HomeFacts facts{.internalFreeGb = 30,
                        .driveConnected = true,
                        .movableAppsGb = 12,
                        .snapshotGb = 2,
                        .cloudAccountCount = 1,
                        .warnThresholdGb = 50,
                        .criticalThresholdGb = 25};
  EXPECT_EQ(
      renderHome(facts, {"Macintosh HD", 30, 30, 7}),
      "Your startup disk is getting full.\n"
      "A quick clean-up will give you room to breathe.\n"
      "About 17 GB could be freed.\n"
      "\n"
      "I'll clear caches and rarely-used files, reclaim space from old local backups and keep "
      "cloud files online-only.\n"
      "\n"
      "More you can do:\n"
      "  • Review large apps\n"
      "  • See what's using space\n"
      "  • Browse your files\n"
      "  • Cloud transfers\n"
      "  • Usage history\n"
      "\n"
      "Your free space on Macintosh HD has held steady over the last 7 days.\n");
}

}  // namespace
}  // namespace brimvale::care
