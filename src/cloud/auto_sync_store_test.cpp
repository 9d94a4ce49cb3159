#include "cloud/auto_sync_store.h"

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

AutoSyncPolicy policyNamed(const std::string& id, std::time_t created) {
  AutoSyncPolicy p;
  p.id = id;
  p.internalPath = "/h/alice/" + id;
  p.nvmeDestParent = "/drive/BRIM-Test/" + id;
  p.createdAt = created;
  return p;
}

TEST(AutoSyncStore, OneFilePerPolicyAndUnreadableFilesAreSkipped) {
  testing::TempFolder state;
  std::vector<std::string> lines;
  AutoSyncStore store(state.path(), [&](const std::string& line) { lines.push_back(line); });
  ASSERT_TRUE(store.save(policyNamed("BBBB", 200)));
  ASSERT_TRUE(store.save(policyNamed("AAAA", 300)));
  ASSERT_TRUE(store.save(policyNamed("CCCC", 100)));
  EXPECT_TRUE(std::filesystem::exists(state / "auto-sync" / "AAAA.json"));

  state.file("auto-sync/broken.json", "{not json");
  // A readable record under another policy's name would be saved elsewhere.
  std::filesystem::copy_file(state / "auto-sync" / "AAAA.json", state / "auto-sync" / "DDDD.json");
  state.file("auto-sync/notes.txt", "ignored");

  std::vector<std::string> ids;
  for (const auto& p : store.all()) ids.push_back(p.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"CCCC", "BBBB", "AAAA"}));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines,
            (std::vector<std::string>{"AutoSyncStore: skipping unreadable policy DDDD.json",
                                      "AutoSyncStore: skipping unreadable policy broken.json"}));
  EXPECT_TRUE(std::filesystem::exists(state / "auto-sync" / "broken.json"));

  ASSERT_TRUE(store.remove("BBBB"));
  ASSERT_TRUE(store.remove("BBBB"));
  EXPECT_EQ(store.all().size(), 2u);
  EXPECT_FALSE(store.remove("../x"));
}

// The back-off window itself is exercised through the manager's runs.
TEST(AutoSyncFailures, CountsInARowAndClearsOnSuccess) {
  testing::TempFolder state;
  AutoSyncFailures failures(state.path());
  ASSERT_TRUE(failures.recordFailure("/h/a.txt", 100));
  ASSERT_TRUE(failures.recordFailure("/h/a.txt", 200));
  ASSERT_TRUE(failures.recordFailure("/h/b.txt", 300));
  auto records = failures.read();
  EXPECT_EQ(records["/h/a.txt"], (FailureRecord{2, 200}));
  EXPECT_EQ(records["/h/b.txt"], (FailureRecord{1, 300}));
  ASSERT_TRUE(failures.clear("/h/a.txt"));
  records = failures.read();
  EXPECT_FALSE(records.contains("/h/a.txt"));
  EXPECT_TRUE(records.contains("/h/b.txt"));

  state.file("autosync-failures.json", R"({"/h/c": {"count": "x"}, "/h/d": {"count": 4,
      "lastFailAt": "2026-01-01T00:00:00Z"}})");
  records = failures.read();
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(records["/h/d"].count, 4);
}

}  // namespace
}  // namespace brimvale::cloud
