#include "cloud/auto_sync_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "cloud/auto_sync_store.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;
using transfers::JobOutcome;

constexpr std::time_t kStart = 1'800'000'000;

void setModified(const fs::path& path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class AutoSyncManagerTest : public ::testing::Test {
 protected:
  AutoSyncManagerTest() {
    home = root.folder("home/alice");
    drive = root.folder("drive/BRIM-Test");
    stateDir = home / ".brimvale/state";
    ledger.emplace(stateDir, [this] { return now; });
  }

  AutoSyncManager manager() {
    AutoSyncSettings s;
    s.stateDir = stateDir;
    s.roots = {home, drive};
    s.driveMounted = [this] { return mounted; };
    s.isOpen = [this](const std::string& p) { return open.contains(p); };
    s.queueCopy = [this](const std::string& file, const std::string& parent) {
      queued.emplace_back(file, parent);
      const auto it = outcomes.find(fs::path(file).filename().string());
      return it == outcomes.end() ? QueueOutcome{} : it->second;
    };
    s.ledger = &*ledger;
    s.clock = [this] { return now; };
    return AutoSyncManager(std::move(s));
  }

  fs::path oldFile(const std::string& relative, const std::string& content = "12345") {
    const auto path = root.file(fs::path("home/alice/Projects") / relative, content);
    setModified(path, now - 3600);
    return path;
  }

  testing::TempFolder root;
  fs::path home, drive, stateDir;
  std::time_t now = kStart;
  bool mounted = true;
  std::set<std::string> open;
  std::map<std::string, QueueOutcome> outcomes;  // by file name; default: queued
  std::vector<std::pair<std::string, std::string>> queued;
  std::optional<transfers::BackgroundJobsStore> ledger;
};

TEST_F(AutoSyncManagerTest, OutcomesOfARun) {
  struct Case {
    const char* what;
    bool mounted;
    QueueOutcome second;  // what the mover makes of b.txt (a.txt is always queued)
    JobOutcome outcome;
    const char* summary;
    std::int64_t failureCount;  // of b.txt afterwards
  } cases[] = {
      {"drive missing",
       false,
       {},
       JobOutcome::kSkipped,
       "Your fast drive isn't connected, so nothing was copied.",
       0},
      {"both queued",
       true,
       {},
       JobOutcome::kOk,
       "Queued 2 new files to copy to your fast drive.",
       0},
      {"another process holds the moves",
       true,
       {QueueOutcome::Kind::kDropped, "while another move runs"},
       JobOutcome::kOk,
       "Queued 1 new file to copy to your fast drive. Held back 1 new file while another move "
       "runs; will try again.",
       0},
      {"one refused",
       true,
       {QueueOutcome::Kind::kFailed, "no rsync"},
       JobOutcome::kPartial,
       "Queued 1 new file to copy to your fast drive, failing to copy 1 file. Your originals "
       "are untouched and will be tried again on a later run.",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(stateDir);
    fs::remove_all(home / "Projects");
    queued.clear();
    mounted = c.mounted;
    outcomes = {{"b.txt", c.second}};
    auto m = manager();
    const auto policy =
        *m.registerPolicy((home / "Projects").string(), (drive / "Projects").string());
    oldFile("a.txt");
    const auto b = oldFile("b.txt");
    const auto run = m.runNow(policy.id);
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->outcome, c.outcome);
    EXPECT_EQ(run->summary, c.summary);
    EXPECT_EQ(AutoSyncFailures(stateDir).read()[b.string()].count, c.failureCount);
    EXPECT_EQ(ledger->readJobs().back().lastOutcome, c.outcome);
    if (!c.mounted) {
      EXPECT_TRUE(queued.empty());
    }
  }
}

TEST_F(AutoSyncManagerTest, AQueuedFileIsNotQueuedAgainUntilItsCopyEnds) {
  auto m = manager();
  const auto policy =
      *m.registerPolicy((home / "Projects").string(), (drive / "Projects").string());
  const auto file = oldFile("a.txt");
  struct Step {
    const char* what;
    std::function<void()> before;
    bool offered;
  } steps[] = {
      {"first run", [] {}, true},
      {"copy still running", [] {}, false},
      {"copy cancelled", [&] { m.copyCancelled(file.string()); }, true},
      {"queued again", [] {}, false},
      {"copy failed", [&] { m.copyFinished(file.string(), 5, false); }, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    queued.clear();
    ASSERT_TRUE(m.runNow(policy.id).has_value());
    EXPECT_EQ(queued.size(), step.offered ? 1u : 0u);
  }
  EXPECT_EQ(AutoSyncFailures(stateDir).read()[file.string()].count, 1);
}

}  // namespace
}  // namespace brimvale::cloud
