#include "cloud/auto_sync_mover.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/base/file_io.h"
#include "platform/testing/memory_user_defaults.h"
#include "testing/temp_folder.h"
#include "testing/test_loop.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

class AutoSyncMover : public ::testing::Test {
 protected:
  AutoSyncMover() {
    paths = StatePaths::forHome(root / "home");
    fs::create_directories(paths.state);
    drive = root / "drive";
    working = workingFolderFor(drive, "Test Mac");
    fs::create_directories(working);
    EXPECT_TRUE(writeFileAtomically(paths.config, "NVMe=\"" + drive.string() + "\"\n"));
    ledger.emplace(paths.state, [this] { return now; });

    AutoSyncSettings s;
    s.stateDir = paths.state;
    s.roots = {paths.home, working};
    s.driveMounted = [] { return true; };
    s.queueCopy = [this](const std::string& file, const std::string& parent) {
      return queueThroughMover(*mover)(file, parent);
    };
    s.ledger = &*ledger;
    s.clock = [this] { return now; };
    manager.emplace(std::move(s));
    watcher.emplace(*manager);
  }

  void makeMover(bool withRsync) {
    mover::MoverEnvironment env;
    env.paths = paths;
    env.computerName = "Test Mac";
    env.scheduler = &loop;
    env.post = [this](std::function<void()> t) { loop.post(std::move(t)); };
    env.defaults = &defaults;
    env.ledger = &*ledger;
    if (withRsync)
      env.rsync = mover::RsyncSupport::probe(mover::RsyncSupport::defaultCandidates(""));
    env.onChange = [this](const mover::MoveManifest& m) { watcher->moveChanged(m); };
    mover = std::make_unique<mover::LocalFolderMover>(std::move(env), log);
  }

  fs::path settledFile(const std::string& relative, const std::string& content) {
    const auto path = root.file(fs::path("home/Projects") / relative, content);
    const timespec times[2] = {{now - 3600, 0}, {now - 3600, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return path;
  }

  testing::TempFolder root;
  StatePaths paths;
  fs::path drive, working;
  std::time_t now = std::time(nullptr);
  brimvale::testing::TestLoop loop;
  platform::testing::MemoryDefaults defaults;
  mover::MoverLog log;
  std::optional<transfers::BackgroundJobsStore> ledger;
  std::optional<AutoSyncManager> manager;
  std::optional<AutoSyncMoveWatcher> watcher;
  std::unique_ptr<mover::LocalFolderMover> mover;
};

TEST_F(AutoSyncMover, NewFileIsRelocatedWithALinkLeftAndCounted) {
  makeMover(true);
  ASSERT_TRUE(mover->hasGnuRsync()) << "GNU rsync is needed for this test";
  const auto policy =
      *manager->registerPolicy((paths.home / "Projects").string(), (working / "Projects").string());
  const auto file = settledFile("notes/a.txt", std::string(5000, 'a'));
  const auto run = manager->runNow(policy.id);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->summary, "Queued 1 new file to copy to your fast drive.");
  ASSERT_EQ(mover->jobs().size(), 1u);
  // Offered again while its move is under way (a scan run again after a
  // kill), the file joins that move: a second would copy the link over the copy.
  EXPECT_EQ(queueThroughMover(*mover)(file.string(), (working / "Projects/notes").string()).kind,
            QueueOutcome::Kind::kQueued);
  ASSERT_EQ(mover->jobs().size(), 1u);
  const std::string id = mover->jobs()[0].id;
  EXPECT_EQ(mover->jobs()[0].triggerSource, mover::MoveTriggerSource::kAutoSync);
  ASSERT_TRUE(loop.runUntil([&] {
    const auto* job = mover->job(id);
    return job && mover::isTerminal(job->phase) && !mover->isActive(id);
  }));
  ASSERT_EQ(mover->job(id)->phase, mover::MovePhase::kDone)
      << mover->job(id)->lastError.value_or("");
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(fs::file_size(working / "Projects/notes/a.txt"), 5000u);

  const auto stored = manager->policies().at(0);
  EXPECT_EQ(stored.totalFilesMoved, 1);
  EXPECT_GT(stored.totalBytesMoved, 0);
  // The link left behind is not new again.
  EXPECT_EQ(manager->runNow(policy.id)->summary, "Nothing new to copy.");
}

// (A drive transfer holding the moves back is covered end to end.)
TEST_F(AutoSyncMover, WithoutACopyToolAFileFailsAndStays) {
  makeMover(false);
  const auto file = settledFile("a.txt", "data");
  const auto outcome = queueThroughMover(*mover)(file.string(), (working / "P").string());
  EXPECT_EQ(outcome.kind, QueueOutcome::Kind::kFailed);
  EXPECT_FALSE(outcome.error.empty());
  EXPECT_TRUE(fs::is_regular_file(file));
}

}  // namespace
}  // namespace brimvale::cloud
