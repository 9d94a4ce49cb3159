#include "care/care_summary.h"

#include <gtest/gtest.h>

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
          // Given steps out of order and repeated, then the fixed order, each once.
          {{trash, {K::kCachesAndRarelyUsedFiles}, sys, dev, trash},
           "cleared caches and rarely-used files, cleared developer caches, cleared system and log "
           "clutter, and emptied old Trash items."},
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
}

// Old Trash left alone by the "never delete" setting is mentioned from 50 MB.
TEST(CareSummary, TrashLineFromFiftyMillionBytes) {
  for (const std::int64_t untouched : {49'999'999, 50'000'000}) {
    SCOPED_TRACE(untouched);
    const CareOutcome outcome{.freedBytes = 3'000,
                              .stepsRan = {{K::kCachesAndRarelyUsedFiles}},
                              .untouchedTrashBytes = untouched};
    const bool mentioned = untouched >= 50'000'000;
    EXPECT_EQ(
        composeSummary(outcome, fakeBytes, kMacWords)
            .ends_with(
                "\nYou could free about <50000000 B> more: I left your old Trash alone because "
                "“only move, never delete” is on — turn it off in Settings → Free Up Space and "
                "I'll clear it too."),
        mentioned);
    EXPECT_EQ(narratorFacts(outcome, fakeBytes, kMacWords).find("sitting in old Trash") !=
                  std::string::npos,
              mentioned);
  }
}

}  // namespace
}  // namespace brimvale::care
