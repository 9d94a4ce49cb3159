#include "snapshots/thinning_record.h"

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace brimvale::snapshots {
namespace {

using brimvale::testing::TempFolder;

struct Rig {
  TempFolder dir;
  std::unique_ptr<platform::UserDefaults> defaults =
      platform::makeJsonUserDefaults(dir.path() / "user-defaults.json");
  transfers::BackgroundJobsStore ledger{dir.path(), [] { return std::time_t{1'700'000'000}; }};
  std::vector<std::string> log;
  AppThinningRecorder recorder{*defaults, ledger,
                               [this](const std::string& line) { log.push_back(line); }};
};

TEST(AppThinningRecorder, StoresTheTimeAndALedgerRun) {
  Rig rig;
  rig.recorder.rememberLastReclaim(1'700'000'123.75);
  rig.recorder.recordLedgerRun(kLedgerJob, kThinningLedgerSummary);
  EXPECT_EQ(rig.defaults->getDouble(kLastReclaimAtEpochKey), 1'700'000'123.75);
  const auto jobs = rig.ledger.readJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].kind, transfers::JobKind::kLocalSnapshots);
  EXPECT_EQ(jobs[0].lastOutcome, transfers::JobOutcome::kOk);
  EXPECT_EQ(jobs[0].lastSummary, "Tidied old restore points to free up space.");
  EXPECT_TRUE(rig.log.empty());
}

TEST(AppThinningRecorder, AnUnwritableSettingIsLoggedAndTheLedgerStillRecords) {
  Rig rig;
  rig.dir.file("user-defaults.json", "{ half written");
  rig.recorder.rememberLastReclaim(1'700'000'000);
  rig.recorder.recordLedgerRun(kLedgerJob, kThinningLedgerSummary);
  ASSERT_EQ(rig.log.size(), 1u);
  EXPECT_TRUE(rig.log[0].starts_with("SnapshotManager: couldn't remember the thinning time: "));
  EXPECT_EQ(rig.ledger.readJobs().size(), 1u);
}

}  // namespace
}  // namespace brimvale::snapshots
