#include "care/home_guidance.h"

#include <gtest/gtest.h>

#include "care/sentence_cases_test.h"
#include "testing/raw_name_checks.h"

namespace brimvale::care {
namespace {

// A connected drive, thresholds 20 (warn) and 10 (critical), plenty free.
HomeFacts healthy() {
  return {.internalFreeGb = 200,
          .driveConnected = true,
          .warnThresholdGb = 20,
          .criticalThresholdGb = 10};
}

TEST(HomeGuidance, HeadlineRowsInOrder) {
  struct Case {
    const char* name;
    HomeFacts facts;
    const char* headline;
    const char* detail;
    SimpleActionID action;
    std::int64_t estimate;
    bool noEstimate;
  };
  auto with = [](auto change) {
    HomeFacts f = healthy();
    change(f);
    return f;
  };
  const Case cases[] = {
      {"paused with a full disk", with([](HomeFacts& f) {
         f.paused = true;
         f.internalFreeGb = 1;
         f.driveConnected = false;
       }),
       "Automatic actions are paused.", "Resume them when you're ready, or free up space manually.",
       SimpleActionID::kFreeUpSpace, 0, true},
      {"drive missing", with([](HomeFacts& f) {
         f.driveConnected = false;
         f.internalFreeGb = 1;
       }),
       "Your external drive isn't connected.",
       "Plug it back in, or set one up to start freeing space.", SimpleActionID::kManageDrive, 0,
       true},
      {"free equals critical", with([](HomeFacts& f) {
         f.internalFreeGb = 15;
         f.criticalThresholdGb = 15;
         f.snapshotGb = 1;
       }),
       "Your startup disk is almost full.", "Free up space now to keep your Mac running smoothly.",
       SimpleActionID::kFreeUpSpace, 5, false},
      {"apps outrank snapshots", with([](HomeFacts& f) {
         f.movableAppsGb = 25;
         f.snapshotGb = 30;
       }),
       "You could move 25 GB of apps.",
       "Moving large apps to your external drive frees space — they still open normally.",
       SimpleActionID::kReviewApps, 25, false},
      {"apps just below 20 GB fall to snapshots", with([](HomeFacts& f) {
         f.movableAppsGb = 19;
         f.snapshotGb = 5;
       }),
       "Old backups are holding space.", "Reclaim space macOS is keeping from past local backups.",
       SimpleActionID::kReclaimSnapshots, 0, true},
      {"plenty of space", with([](HomeFacts& f) { f.snapshotGb = 4; }),
       "Your Mac has plenty of space.", "Everything's running smoothly. You can tidy up any time.",
       SimpleActionID::kAllGood, 0, true},
      {"free equals warning", with([](HomeFacts& f) {
         f.internalFreeGb = 40;
         f.warnThresholdGb = 40;
         f.movableAppsGb = 25;
         f.snapshotGb = 2;
       }),
       "Your startup disk is getting full.", "A quick clean-up will give you room to breathe.",
       SimpleActionID::kFreeUpSpace, 30, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Recommendation r = recommend(c.facts, kMacWords);
    EXPECT_EQ(r.headline, c.headline);
    EXPECT_EQ(r.detail, c.detail);
    EXPECT_EQ(r.action, c.action);
    EXPECT_EQ(r.estimateGb, c.estimate);
    EXPECT_EQ(r.noEstimate, c.noEstimate);
  }
}

TEST(HomeGuidance, PlanStepsAndFurtherActionsFollowTheFacts) {
  HomeFacts f = healthy();
  using K = CareStep::Kind;
  EXPECT_EQ(planSteps(f), std::vector<CareStep>{{K::kCachesAndRarelyUsedFiles}});
  EXPECT_EQ(furtherActions(f),
            (std::vector{SimpleActionID::kReviewApps, SimpleActionID::kWhatsUsingSpace,
                         SimpleActionID::kBrowseTier, SimpleActionID::kUsageHistory}));
  f.snapshotGb = 1;
  f.cloudAccountCount = 2;
  EXPECT_EQ(planSteps(f),
            (std::vector<CareStep>{
                {K::kCachesAndRarelyUsedFiles}, {K::kOldLocalBackups}, {K::kCloudOnlineOnly}}));
  EXPECT_EQ(furtherActions(f),
            (std::vector{SimpleActionID::kReviewApps, SimpleActionID::kWhatsUsingSpace,
                         SimpleActionID::kBrowseTier, SimpleActionID::kCloudTransfers,
                         SimpleActionID::kUsageHistory}));
}

TEST(HomeGuidance, TrendSentences) {
  testing::expectTexts<TrendInput>(
      {
          {{"Macintosh HD", 48, 50, 1},
           "You've used about 2 GB more on Macintosh HD over the last day — Zozad Evev can win "
           "some "
           "back."},
          {{"Macintosh HD", 60, 50, 7},
           "You've freed about 10 GB on Macintosh HD over the last 7 days. Nice work."},
          {{"Macintosh HD", 49, 50, 3},
           "Your free space on Macintosh HD has held steady over the last 3 days."},
          {{"Macintosh HD", 0, 0, 5},
           "We'll show how your space changes as Brimvale gathers a little history."},
      },
      [](const TrendInput& trend) { return trendSentence(trend); });
}

// Given sizes past a thousand GB, then sentences that count whole gigabytes
// keep counting them, and the others change unit; below that both agree.
TEST(HomeGuidance, SizesInSentencesFollowThePlatformsWords) {
  HomeFacts manyApps;
  manyApps.internalFreeGb = 500;
  manyApps.driveConnected = true;
  manyApps.movableAppsGb = 1'500;
  manyApps.warnThresholdGb = 40;
  const TrendInput freed{"Disk", 2'050, 50, 7};
  struct Case {
    const PlatformWords* words;
    const char* apps;
    const char* trend;
    const char* small;
    const char* tidy;
  } cases[] = {
      {&kMacWords, "You could move 1500 GB of apps.",
       "You've freed about 2000 GB on Disk over the last 7 days. Nice work.", "25 GB",
       "Give your Mac a quick tidy-up."},
      {&kLinuxWords, "You could move 1.5 TB of apps.",
       "You've freed about 2 TB on Disk over the last 7 days. Nice work.", "25 GB",
       "Give your computer a quick tidy-up."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words->system);
    EXPECT_EQ(recommend(manyApps, *c.words).headline, c.apps);
    EXPECT_EQ(trendSentence(freed, *c.words), c.trend);
    EXPECT_EQ(gigabytesInWords(25, *c.words), c.small);
    EXPECT_EQ(planSentence({}, *c.words), c.tidy);
  }
}

TEST(RawNames, GuidanceTablesArePinnedAndAgreeWithTheConversions) {
  auto actionRaw = [](SimpleActionID action) { return rawString(action); };
  auto categoryRaw = [](ReclaimCategory category) { return rawString(category); };
  {
    SCOPED_TRACE("SimpleActionID");
    brimvale::testing::expectRawNames(
        kSimpleActionIDNames,
        "freeUpSpace reviewApps manageDrive backUp reclaimSnapshots "
        "optimizeCloud browseTier whatsUsingSpace cloudTransfers usageHistory "
        "viewActivity editRules allGood",
        actionRaw, simpleActionFromRaw);
    for (const auto& row : kSimpleActionIDNames) EXPECT_FALSE(actionLabel(row.value).empty());
    EXPECT_FALSE(simpleActionFromRaw("FreeUpSpace"));
  }
  {
    SCOPED_TRACE("ReclaimCategory");
    brimvale::testing::expectRawNames(kReclaimCategoryNames, "devcaches syslog trash", categoryRaw,
                                      reclaimCategoryFromRaw);
    EXPECT_FALSE(reclaimCategoryFromRaw("caches"));
  }
}

}  // namespace
}  // namespace brimvale::care
