#include "care/care_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "testing/base/temp_folder.h"

namespace brimvale::care {
namespace {

using brimvale::testing::TempFolder;
using ::testing::ElementsAre;
using RunK = CareStep::Kind;
using std::chrono::milliseconds;

ProcessResult exited(int code, std::string out) {
  return {.outcome = ProcessOutcome::kExited, .exitCode = code, .out = std::move(out)};
}

// Plays the service and the other routines; records every call in order.
struct FakeRoutines {
  std::map<std::string, ProcessResult> replies;  // by arguments joined with blanks
  std::vector<std::int64_t> freeBytes;           // successive measurements
  std::optional<std::string> thinProblem;
  std::vector<std::string> calls;
  std::size_t measured = 0;

  CareRoutines routines() {
    return {
        .service =
            [this](const std::vector<std::string>& args) {
              std::string key;
              for (const auto& a : args) key += (key.empty() ? "" : " ") + a;
              calls.push_back(key);
              auto it = replies.find(key);
              return it == replies.end() ? exited(2, "Unknown subcommand: " + args[0] + "\n")
                                         : it->second;
            },
        .thinSnapshots =
            [this] {
              calls.push_back("thin");
              return thinProblem;
            },
        .internalFreeBytes = [this]() -> std::optional<std::int64_t> {
          if (measured >= freeBytes.size()) return std::nullopt;
          return freeBytes[measured++];
        },
        .pause = [](milliseconds) {},
    };
  }
};

const char* kScan =
    "{\"category\":\"devcaches\",\"freed_bytes\":3000,\"items\":2}\n"
    "{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"
    "{\"category\":\"trash\",\"freed_bytes\":60000000,\"items\":1}\n";

TEST(CareRun, EveryStepRunsItsRoutineInOrderAndCountsWhatItFreed) {
  FakeRoutines fake;
  fake.replies["free-space"] = exited(0, "Free Up Space — started\n");
  fake.replies["reclaim devcaches"] = exited(
      0, "[t] reclaim: devcaches\n{\"category\":\"devcaches\",\"freed_bytes\":3000,\"items\":2}\n");
  fake.replies["reclaim trash"] =
      exited(0, "{\"category\":\"trash\",\"freed_bytes\":60000000,\"items\":1}\n");
  fake.replies["list-cloud-roots"] =
      exited(0,
             "iCloud Drive\t/home/u/Library/Mobile Documents/com~apple~CloudDocs\n"
             "Dropbox\t/home/u/Library/CloudStorage/Dropbox\n");
  const std::string evict(kHostWords.cloudEvictionCommand);
  fake.replies[evict + " /home/u/Library/Mobile Documents/com~apple~CloudDocs"] = exited(0, "");
  fake.replies[evict + " /home/u/Library/CloudStorage/Dropbox"] = exited(0, "");
  // Measured around free-space (+500), thinning (+7000) and the cloud step
  // (-100: something else wrote meanwhile, which costs the step nothing).
  fake.freeBytes = {1000, 1500, 10'000, 17'000, 20'000, 19'900};

  const std::vector<CareStep> steps{{RunK::kCachesAndRarelyUsedFiles},
                                    CareStep::reclaim(ReclaimCategory::kDevcaches),
                                    CareStep::reclaim(ReclaimCategory::kTrash),
                                    {RunK::kOldLocalBackups},
                                    {RunK::kCloudOnlineOnly}};
  const auto results = runSteps(steps, fake.routines(), [](std::string_view) {});
  EXPECT_THAT(
      fake.calls,
      ElementsAre("free-space", "reclaim devcaches", "reclaim trash", "thin", "list-cloud-roots",
                  evict + " /home/u/Library/Mobile Documents/com~apple~CloudDocs",
                  evict + " /home/u/Library/CloudStorage/Dropbox"));
  ASSERT_EQ(results.size(), 5u);
  std::vector<std::int64_t> freed;
  for (const auto& r : results) {
    EXPECT_TRUE(r.finished) << r.problem;
    freed.push_back(r.freedBytes);
  }
  EXPECT_THAT(freed, ElementsAre(500, 3000, 60'000'000, 7000, 0));

  SizedPlan plan{.steps = steps, .scan = parseReclaimScan(kScan)};
  const CareOutcome outcome = outcomeOf(results, plan, "2 GB");
  EXPECT_EQ(outcome.freedBytes, 60'010'500);
  EXPECT_EQ(outcome.stepsRan, steps);
  EXPECT_EQ(outcome.untouchedTrashBytes, 0);
  EXPECT_EQ(problemLines(results), "");
}

// Given item lines for a category with bytes to free, for a Trash the
// settings keep and lines that are not items, then the preview holds only
// what a step of the sized plan would delete.
TEST(CareRun, ThePreviewHoldsOnlyWhatAStepWouldDelete) {
  FakeRoutines fake;
  fake.replies["reclaim-scan --items"] =
      exited(0,
             "{\"category\":\"devcaches\",\"path\":\"/h/.cache/pip\",\"bytes\":3000,"
             "\"aged_from\":100}\n"
             "{\"category\":\"photos\",\"path\":\"/h/p\",\"bytes\":1}\n"
             "{\"category\":\"devcaches\",\"path\":\"/h/no size\"}\n"
             "{\"category\":\"devcaches\",\"freed_bytes\":3000,\"items\":1}\n"
             "{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"
             "{\"category\":\"trash\",\"path\":\"/h/Trash/files/a\",\"bytes\":9,"
             "\"aged_from\":5}\n"
             "{\"category\":\"trash\",\"freed_bytes\":9,\"items\":1,\"skipped\":\"delete_"
             "disabled\"}\n");
  auto sized = sizePlan({{RunK::kCachesAndRarelyUsedFiles}}, fake.routines().service, true);
  ASSERT_TRUE(sized) << sized.error().message();
  EXPECT_THAT(sized->items, ElementsAre(ReclaimItem{.category = ReclaimCategory::kDevcaches,
                                                    .path = "/h/.cache/pip",
                                                    .bytes = 3000,
                                                    .agedFrom = 100}));
}

TEST(CareRun, AFailedStepIsReportedAndTheRestStillRun) {
  FakeRoutines fake;
  fake.replies["free-space"] =
      exited(1, "Free Up Space — started\nManager is paused — resume it first to run actions.\n");
  fake.replies["reclaim syslog"] = exited(1, "{\"error\":\"paused\"}\n");
  fake.replies["reclaim devcaches"] =
      exited(0, "{\"category\":\"devcaches\",\"freed_bytes\":4096,\"items\":1}\n");
  fake.thinProblem = "Time Machine command timed out: tmutil thinlocalsnapshots / 100000000000 4";

  const std::vector<CareStep> steps{{RunK::kCachesAndRarelyUsedFiles},
                                    CareStep::reclaim(ReclaimCategory::kSyslog),
                                    CareStep::reclaim(ReclaimCategory::kDevcaches),
                                    {RunK::kOldLocalBackups}};
  const auto results = runSteps(steps, fake.routines(), [](std::string_view) {});
  EXPECT_THAT(fake.calls, ElementsAre("free-space", "reclaim syslog", "reclaim devcaches", "thin"));

  const CareOutcome outcome = outcomeOf(results, {.steps = steps}, "—");
  EXPECT_THAT(outcome.stepsRan, ElementsAre(CareStep::reclaim(ReclaimCategory::kDevcaches)));
  EXPECT_EQ(outcome.freedBytes, 4096);
  const std::string problems = problemLines(results);
  EXPECT_TRUE(problems.starts_with(
      "One step didn't finish (Tidying large folders and clearing caches): `brim-vale "
      "free-space` exited with 1 (Manager is paused — resume it first to run actions.). "
      "Your files are safe; you can run Zozad Evev again.\n"))
      << problems;
  EXPECT_EQ(splitLines(problems).size(), 3u);
}

TEST(CareRun, ACategoryTheServiceRefusedIsNotReportedAsCleared) {
  // Given ~/.pnpm-store is a link into the user's files, the service cleans
  // the rest of the developer caches and refuses that folder; another
  // clean-up holding the lock refuses the whole system-clutter step.
  const std::string linkSentence =
      "/home/u/.pnpm-store is reached through a symbolic link that leads to /home/u/Documents, so "
      "Brimvale left it alone rather than act on what the link points to. Nothing was changed.";
  const std::string busySentence =
      "Another rule run, clean-up or rollback is already working in this home folder (process "
      "7), so this one did not start. Nothing was changed; try again when it has finished.";
  FakeRoutines fake;
  fake.replies["reclaim devcaches"] =
      exited(0, "{\"category\":\"devcaches\",\"freed_bytes\":4096,\"items\":1,\"refused\":\"" +
                    linkSentence + "\"}\n");
  fake.replies["reclaim syslog"] =
      exited(1, "{\"error\":\"busy\",\"refused\":\"" + busySentence + "\"}\n");
  const std::vector<CareStep> steps{CareStep::reclaim(ReclaimCategory::kDevcaches),
                                    CareStep::reclaim(ReclaimCategory::kSyslog)};
  const auto results = runSteps(steps, fake.routines(), [](std::string_view) {});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].finished);
  EXPECT_FALSE(results[1].finished);

  const CareOutcome outcome = outcomeOf(results, {.steps = steps}, "—");
  EXPECT_TRUE(outcome.stepsRan.empty()) << "neither is claimed as cleared";
  EXPECT_EQ(outcome.freedBytes, 4096) << "what was freed still counts";
  EXPECT_EQ(
      problemLines(results),
      "One step didn't clear everything (Clearing developer and package caches): " + linkSentence +
          "\nOne step didn't clear everything (Clearing system and log clutter): " + busySentence +
          "\n");
}

TEST(CareRun, AllTimeTotalGrowsAndAForeignFileIsLeftAlone) {
  TempFolder dir;
  const auto file = dir.path() / "cumulative-saved-bytes";
  EXPECT_EQ(addToAllTimeSaved(file, 500), 500);
  EXPECT_EQ(addToAllTimeSaved(file, -20), 500);  // a negative figure frees nothing
  EXPECT_EQ(addToAllTimeSaved(file, 1'000'000'000'000), 1'000'000'000'500);
  EXPECT_EQ(readFile(file), "1000000000500\n");

  ASSERT_TRUE(writeFileAtomically(file, "lots\n"));
  auto refused = addToAllTimeSaved(file, 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, Errc::kParse);
  EXPECT_EQ(readFile(file), "lots\n");
}

}  // namespace
}  // namespace brimvale::care
