#include "transfers/background_jobs.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::transfers {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

TEST(BackgroundJobsStore, UndecodableLinesAreSkippedAndKept) {
  TempFolder dir;
  BackgroundJobsStore store(dir.path(), [] { return std::time_t{1'700'000'000}; });
  ASSERT_TRUE(store.recordRun(JobKind::kUsageHistory, JobOutcome::kOk, "one"));
  ASSERT_TRUE(appendToFile(dir.path() / "background-jobs.ndjson",
                           "not json\n{\"kind\":\"teleport\",\"lastOutcome\":\"ok\"}\n"));
  auto next = store.recordRun(JobKind::kUsageHistory, JobOutcome::kOk, "two");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->totalRuns, 2);
  EXPECT_EQ(store.readJobs().size(), 2u);
  EXPECT_NE(readFile(dir.path() / "background-jobs.ndjson")->find("not json"), std::string::npos);
}

TEST(BackgroundJobsStore, IssuesAreBumpedBySignatureAndCleared) {
  TempFolder dir;
  std::time_t now = 1'700'000'000;
  BackgroundJobsStore store(dir.path(), [&] { return now; });
  ASSERT_TRUE(store.recordIssue(JobKind::kStorageWatch, "Startup disk", "running low"));
  ASSERT_TRUE(store.recordIssue(JobKind::kAutoSync, "Startup disk", "other feature"));
  now += 60;
  auto bumped = store.recordIssue(JobKind::kStorageWatch, "Startup disk", "very low");
  ASSERT_TRUE(bumped);
  EXPECT_EQ(bumped->count, 2);
  EXPECT_EQ(bumped->message, "very low");
  EXPECT_EQ(bumped->firstSeen, isots(now - 60));
  EXPECT_EQ(bumped->lastSeen, isots(now));
  EXPECT_EQ(store.readIssues().size(), 2u);

  auto run = store.recordRun(JobKind::kStorageWatch, JobOutcome::kOk, "x");
  EXPECT_EQ(run->issues, 1);

  ASSERT_TRUE(store.clearIssue(JobKind::kStorageWatch, "Startup disk"));
  ASSERT_TRUE(store.clearIssue(JobKind::kStorageWatch, "Startup disk"));  // already gone
  auto left = store.readIssues();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].feature, "auto_sync");
}

TEST(BackgroundJobsStore, TrimmingKeepsTheNewestLineOfEveryKind) {
  TempFolder dir;
  BackgroundJobsStore store(dir.path(), [] { return std::time_t{1'700'000'000}; });
  ASSERT_TRUE(store.recordRun(JobKind::kDriveTransfer, JobOutcome::kOk, "rare", 0, 7));
  for (std::size_t i = 0; i < BackgroundJobsStore::kJobsFileCap; ++i) {
    ASSERT_TRUE(store.recordRun(JobKind::kStorageWatch, JobOutcome::kOk, "tick"));
  }
  auto jobs = store.readJobs();
  EXPECT_LE(jobs.size(), BackgroundJobsStore::kJobsFileCap / 2 + 1);
  auto latest = latestPerKind(jobs);
  ASSERT_EQ(latest.size(), 2u);
  EXPECT_EQ(latest[1].kind, JobKind::kDriveTransfer);
  EXPECT_EQ(latest[1].bytesHandled, 7);
  EXPECT_EQ(latest[0].totalRuns, static_cast<std::int64_t>(BackgroundJobsStore::kJobsFileCap));
}

}  // namespace
}  // namespace brimvale::transfers
