#include "cloud/sync_job.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

SyncJob fullJob() {
  SyncJob job =
      newSyncJob("/data/photos", "drive-personal:Photos", JobMode::kSyncOneWay, 1'780'000'000);
  job.state = JobState::kPaused;
  job.postSuccessAction = PostSuccessAction::kPurgeSource;
  return job;
}

TEST(SyncJobJson, UnknownPostSuccessActionNeverDeletes) {
  json entry = encodeSyncJob(fullJob());
  entry["postSuccessAction"] = "purgeEverything";
  ASSERT_TRUE(decodeSyncJob(entry));
  EXPECT_EQ(decodeSyncJob(entry)->postSuccessAction, PostSuccessAction::kNone);
}

TEST(JobListFile, AnUndecodableJobIsKeptAsideAndTheRestLoad) {
  brimvale::testing::TempFolder temp;
  const fs::path file = temp / "jobs.json";
  json broken = encodeSyncJob(fullJob());
  broken["mode"] = "teleport";
  json list = json::array({encodeSyncJob(fullJob()), broken, encodeSyncJob(fullJob())});
  ASSERT_TRUE(writeFileAtomically(file, list.dump()));

  JobListFile jobs(file);
  auto first = jobs.load();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 2u);
  auto second = jobs.load();  // loading again must not repeat the kept entry
  ASSERT_TRUE(second);
  auto kept = readFile(jobs.unreadableFile());
  ASSERT_TRUE(kept);
  EXPECT_EQ(json::parse(*kept), json::array({broken}));

  // Saving the loaded list never loses the entry that did not decode.
  ASSERT_TRUE(jobs.save(*first));
  EXPECT_EQ(json::parse(*readFile(jobs.unreadableFile())), json::array({broken}));
}

TEST(JobListFile, AFileThatIsNotAListIsSetAsideNotOverwritten) {
  brimvale::testing::TempFolder temp;
  const fs::path file = temp / "jobs.json";
  ASSERT_TRUE(writeFileAtomically(file, "{\"half\": [1, 2"));
  JobListFile jobs(file);
  auto loaded = jobs.load();
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(loaded->empty());
  ASSERT_TRUE(jobs.save({fullJob()}));
  int asideWithOldBytes = 0;
  for (const auto& entry : fs::directory_iterator(temp.path())) {
    if (entry.path().filename().string().starts_with("jobs.json.unreadable-") &&
        readFile(entry.path()).value_or("") == "{\"half\": [1, 2")
      ++asideWithOldBytes;
  }
  EXPECT_EQ(asideWithOldBytes, 1);
}

}  // namespace
}  // namespace brimvale::cloud
