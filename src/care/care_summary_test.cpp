#include "care/care_summary.h"

#include <gtest/gtest.h>

#include <set>

#include "care/sentence_cases_test.h"

namespace brimvale::care {
namespace {

using K = CareStep::Kind;

std::string fakeBytes(std::int64_t bytes) { return "<" + std::to_string(bytes) + " B>"; }

TEST(CareSummary, CoverageSentenceOrderAndJoining) {
  const CareStep dev = CareStep::reclaim(ReclaimCategory::kDevcaches);
  const CareStep sys = CareStep::reclaim(ReclaimCategory::kSyslog);
  const CareStep trash = CareStep::reclaim(ReclaimCategory::kTrash);
  testing::expectTexts<std::vector<CareStep>>(
      {
          {{}, "cleared caches and rarely-used files."},
          {{{K::kCachesAndRarelyUsedFiles}}, "cleared caches and rarely-used files."},
          {{{K::kCloudOnlineOnly}},
           "cleared caches and rarely-used files and kept your cloud files online-only."},
          // Given steps out of order and repeated, then the fixed order, each once.
          {{trash, {K::kCachesAndRarelyUsedFiles}, sys, dev, trash},
           "cleared caches and rarely-used files, cleared developer caches, cleared system and log "
           "clutter, and emptied old Trash items."},
          {{{K::kOldLocalBackups}, dev},
           "cleared caches and rarely-used files, cleared developer caches, and reclaimed space "
           "from "
           "old local backups."},
      },
      coverageSentence);
}

TEST(CareSummary, NothingFreedWithTheBaseStepOnly) {
  const CareOutcome outcome{
      .freedBytes = 0, .stepsRan = {{K::kCachesAndRarelyUsedFiles}}, .allTimeText = "12.4 GB"};
  EXPECT_EQ(composeSummary(outcome, fakeBytes, kMacWords),
            "Zozad Evev finished — your Mac was already nice and tidy.\n"
            "cleared caches and rarely-used files.\n"
            "Your Mac's in good shape — that's about 12.4 GB reclaimed all-time. I'll keep it tidy "
            "on my own.");
  EXPECT_EQ(narratorFacts(outcome, fakeBytes, kMacWords),
            "Zozad Evev just ran but found very little to clear — the Mac was already tidy.\n"
            "cleared caches and rarely-used files.\n"
            "All-time, Brimvale has reclaimed about 12.4 GB on this Mac.\n");
  EXPECT_EQ(composeSummary(outcome, fakeBytes, kLinuxWords),
            "Zozad Evev finished — your computer was already nice and tidy.\n"
            "cleared caches and rarely-used files.\n"
            "Your computer's in good shape — that's about 12.4 GB reclaimed all-time. I'll keep "
            "it tidy on my own.");
  EXPECT_EQ(narratorFacts(outcome, fakeBytes, kLinuxWords),
            "Zozad Evev just ran but found very little to clear — the computer was already tidy.\n"
            "cleared caches and rarely-used files.\n"
            "All-time, Brimvale has reclaimed about 12.4 GB on this computer.\n");
}

TEST(CareSummary, TrashLineFromFiftyMillionBytes) {
  struct Case {
    std::int64_t untouched;
    bool mentioned;
  } cases[] = {{49'999'999, false}, {50'000'000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.untouched);
    const CareOutcome outcome{.freedBytes = 3'000,
                              .stepsRan = {{K::kCachesAndRarelyUsedFiles}},
                              .untouchedTrashBytes = c.untouched};
    std::string summary =
        "Zozad Evev freed about <3000 B> and tidied things up.\n"
        "cleared caches and rarely-used files.\n"
        "Your Mac's in good shape — that's about — reclaimed all-time. I'll keep it tidy on my "
        "own.";
    std::string facts =
        "Zozad Evev just freed about <3000 B> on this Mac.\n"
        "cleared caches and rarely-used files.\n";
    if (c.mentioned) {
      summary +=
          "\nYou could free about <50000000 B> more: I left your old Trash alone because “only "
          "move, never delete” is on — turn it off in Settings → Free Up Space and I'll clear it "
          "too.";
      facts +=
          "About <50000000 B> is sitting in old Trash that was left untouched because the 'only "
          "move, never delete' setting is on.\n";
    }
    EXPECT_EQ(composeSummary(outcome, fakeBytes, kMacWords), summary);
    EXPECT_EQ(narratorFacts(outcome, fakeBytes, kMacWords), facts);
  }
}

TEST(CareSummary, StepRawStringsAreDistinct) {
  const std::vector<CareStep> all{{K::kCachesAndRarelyUsedFiles},
                                  CareStep::reclaim(ReclaimCategory::kDevcaches),
                                  CareStep::reclaim(ReclaimCategory::kSyslog),
                                  CareStep::reclaim(ReclaimCategory::kTrash),
                                  {K::kOldLocalBackups},
                                  {K::kCloudOnlineOnly}};
  std::set<std::string_view> raws;
  for (const auto& step : all) raws.insert(stepRawString(step));
  EXPECT_EQ(raws.size(), all.size());
  EXPECT_FALSE(raws.contains(""));
}

}  // namespace
}  // namespace brimvale::care
