#include "app/core/history_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

using V = std::optional<double>;
constexpr std::time_t kStart = 1'790'000'000;

HistorySeries seriesOf(std::vector<V> values, double latest = 0) {
  HistorySeries s{.values = std::move(values), .latestGb = latest};
  return s;
}

TEST(HistoryReport, SparklineMapsLowestToHighestAndLeavesGapsBlank) {
  struct Case {
    const char* name;
    std::vector<V> values;
    std::string blocks;
    std::string ascii;
  };
  const Case cases[] = {
      {"rising across the whole range", {0, 1, 2, 3, 4, 5, 6, 7}, "▁▂▃▄▅▆▇█", "_.-~=+*#"},
      {"falling, scaled to its own range", {120, 110, 100}, "█▅▁", "#=_"},
      {"flat sits in the middle", {30, 30, 30}, "▄▄▄", "~~~"},
      {"one bucket", {30}, "▄", "~"},
      {"a gap is blank", {10, V{}, 20}, "▁ █", "_ #"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sparkline(seriesOf(c.values), SparkGlyphs::kBlocks), c.blocks);
    EXPECT_EQ(sparkline(seriesOf(c.values), SparkGlyphs::kAscii), c.ascii);
  }
}

BucketedHistory twoDays(bool withDrive) {
  BucketedHistory h{
      .from = kStart, .to = kStart + 2 * 86'400, .bucketSeconds = 3 * 3600, .rowCount = 49};
  h.internal = {.values = {40, 35, V{}, 30}, .minGb = 30, .maxGb = 40.5, .latestGb = 30};
  if (withDrive) {
    h.drive =
        HistorySeries{.values = {400, 400, 400, 380}, .minGb = 380, .maxGb = 400, .latestGb = 380};
  }
  return h;
}

TEST(HistoryReport, TextNamesDatesFiguresAndTheDriveOnlyWhenItWasThere) {
  const std::string dates =
      "Free space from " + localDate(kStart) + " to " + localDate(kStart + 2 * 86'400);
  struct Case {
    const char* name;
    bool withDrive;
    std::size_t skipped;
    std::string expected;
  };
  const Case cases[] = {
      {"internal only", false, 0,
       dates + ": 49 rows, each mark covers 3 hours.\n\n"
               "Internal disk: now 30 GB · lowest 30 GB · highest 40.5 GB\n  #= _\n"},
      {"with the drive and skipped lines", true, 2,
       dates + ": 49 rows, each mark covers 3 hours.\n"
               "2 unreadable lines were skipped and left in the file.\n\n"
               "Internal disk: now 30 GB · lowest 30 GB · highest 40.5 GB\n  #= _\n"
               "Fast drive: now 380 GB · lowest 380 GB · highest 400 GB\n  ###_\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(renderHistoryText(twoDays(c.withDrive), c.skipped, SparkGlyphs::kAscii), c.expected);
  }
}

TEST(HistoryReport, JsonCarriesTheBucketsWithNullForGaps) {
  const auto doc = nlohmann::json::parse(historyJson(twoDays(true), 1));
  EXPECT_EQ(doc["from"], isots(kStart));
  EXPECT_EQ(doc["to"], isots(kStart + 2 * 86'400));
  EXPECT_EQ(doc["bucketSeconds"], 3 * 3600);
  EXPECT_EQ(doc["rows"], 49);
  EXPECT_EQ(doc["skippedLines"], 1);
  ASSERT_EQ(doc["series"].size(), 2u);
  EXPECT_EQ(doc["series"][0]["name"], "internal");
  EXPECT_EQ(doc["series"][0]["freeGb"], nlohmann::json::parse("[40.0, 35.0, null, 30.0]"));
  EXPECT_EQ(doc["series"][0]["maxGb"], 40.5);
  EXPECT_EQ(doc["series"][1]["name"], "drive");
  EXPECT_EQ(doc["series"][1]["latestGb"], 380);

  const auto empty = nlohmann::json::parse(emptyHistoryJson(3));
  EXPECT_EQ(empty["rows"], 0);
  EXPECT_EQ(empty["skippedLines"], 3);
  EXPECT_TRUE(empty["series"].empty());
}

TEST(HistoryReport, EmptySentencesSayWhenRowsWillAppear) {
  for (const std::string& sentence :
       {emptyHistorySentence(0), emptyHistorySentence(1), noRecentRowsSentence(7)}) {
    SCOPED_TRACE(sentence);
    EXPECT_NE(sentence.find("once an hour while `brimvale run` runs"), std::string::npos);
    EXPECT_EQ(sentence.back(), '\n');
  }
  EXPECT_EQ(emptyHistorySentence(0).find("unreadable"), std::string::npos);
  EXPECT_NE(emptyHistorySentence(1).find("(1 unreadable line was skipped"), std::string::npos);
  EXPECT_NE(noRecentRowsSentence(1).find("the last 1 day:"), std::string::npos);
}

}  // namespace
}  // namespace brimvale::app
