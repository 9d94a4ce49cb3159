// The process is killed at every step of a move and of a move back, and in
// the middle of the copies; after the next launch's repair the app must be
// whole at its original path and nothing may sit parked without a record.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "apps/app_move_test_world.h"
#include "apps/app_relocator_engine.h"
#include "common/base/stop_point.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TreeView;
using brimvale::testing::userView;
using testing::AppMoveWorld;

// Copies entry by entry and reports after each, so a kill lands mid-copy.
class EntryByEntryTools : public platform::testing::FakeAppRelocationTools {
 public:
  platform::ToolStep copyBundle(const std::string& source, const std::string& destination,
                                const std::string& shortName, std::chrono::seconds deadline,
                                const platform::BundleCopyObserver& onProgress) override {
    if (!fs::is_directory(fs::symlink_status(source))) {
      return FakeAppRelocationTools::copyBundle(source, destination, shortName, deadline, {});
    }
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(source)) entries.push_back(e.path());
    std::ranges::sort(entries);
    fs::create_directory(destination);
    platform::BundleCopyProgress progress;
    for (const auto& from : entries) {
      const fs::path to = destination / from.lexically_relative(source);
      if (fs::is_symlink(fs::symlink_status(from))) {
        fs::copy_symlink(from, to);
      } else if (fs::is_directory(from)) {
        fs::create_directory(to);
      } else {
        fs::copy_file(from, to);
        progress.bytesCopied += fs::file_size(from);
      }
      ++progress.filesCopied;
      if (onProgress) onProgress(progress);
      // A failing copy stops part-way, leaving a partial copy behind.
      if (failing.contains(shortName) && progress.filesCopied == 2) {
        return std::unexpected(platform::ToolFailure{
            platform::ToolFailure::Kind::kExited, shortName, 1, "copy broke off", {}});
      }
    }
    keepTimes(source, destination);
    return {};
  }
};

// Runs `work` in a child armed to kill itself at `stopAt`; true when it was killed.
bool killedAt(const std::string& stopAt, const std::function<void()>& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<std::string> args{std::string(kStopAfterOption) + stopAt};
    takeStopPointOption(args);
    work();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Parked folders no record names.
int unrecordedParked(const AppMoveWorld& w) {
  const auto records = w.store.loadAll();
  int count = 0;
  for (const auto& parked : w.parked()) {
    const bool named = std::ranges::any_of(
        records, [&](const AppMoveManifest& m) { return m.quarantinePath == parked.string(); });
    if (!named) ++count;
  }
  return count;
}

struct Tally {
  int tried = 0;
  int lost = 0;
};

TEST(AppEngineCrashSafety, KilledAtEveryStepOfAMoveNoBundleIsLost) {
  struct Point {
    std::string stopAt;
    std::string failingTool;  // a step that fails, so the kill lands in its rollback
  };
  std::vector<Point> points;
  for (int step = 1; step <= 9; ++step)
    points.push_back({"app-move-step" + std::to_string(step), ""});
  points.push_back({"app-move-committed", ""});
  for (int n : {1, 2, 3, 4, 5}) points.push_back({"app-move-copying#" + std::to_string(n), ""});
  // Mid-write of each record update: the new record complete but not yet in place.
  for (int n = 1; n <= 12; ++n) {
    points.push_back({"atomic-write:temp-written#" + std::to_string(n), ""});
  }
  for (const char* tool : {"ditto", "lsregister", "mdls"}) {
    points.push_back({"app-move-rollback", tool});
  }

  Tally tally;
  for (const auto& point : points) {
    SCOPED_TRACE(point.stopAt + " " + point.failingTool);
    AppMoveWorld w;
    EntryByEntryTools copier;
    if (!point.failingTool.empty()) copier.failing.insert(point.failingTool);
    w.env.tools = &copier;
    const fs::path original = w.makeBundle("Q");
    const TreeView before = userView(original);
    const bool killed = killedAt(point.stopAt, [&] {
      AppRelocatorEngine engine(w.env);
      (void)engine.enqueue(w.entry("Q"), w.appsRoot, {}, false);
      engine.drain();
    });
    EXPECT_TRUE(killed) << "the kill point was never reached";
    ++tally.tried;
    AppRelocatorEngine relaunched(w.env);
    relaunched.recoverPendingManifests();

    const fs::path copy = w.appsRoot / "Q.app";
    const bool home = isRealFolder(original) && userView(original) == before;
    const bool linked = isLinkTo(original, copy.string()) && userView(original) == before;
    EXPECT_TRUE(home || linked);
    EXPECT_EQ(unrecordedParked(w), 0);
    for (const auto& m : w.store.loadAll()) {
      EXPECT_FALSE(isUnfinished(m.phase)) << "record left unfinished";
      if (linked) EXPECT_EQ(m.phase, AppMovePhase::kDone);
    }
    if (!(home || linked)) ++tally.lost;
  }
  std::cout << "[ crash    ] move: kill points tried " << tally.tried << ", bundles lost "
            << tally.lost << "\n";
  RecordProperty("kill_points_tried", tally.tried);
  RecordProperty("bundles_lost", tally.lost);
  EXPECT_EQ(tally.lost, 0);
}

TEST(AppEngineCrashSafety, KilledAtEveryStepOfAMoveBackNoBundleIsLost) {
  struct Point {
    const char* stopAt;
    bool reinstalled;  // an older copy was reinstalled at the original path meanwhile
  };
  const std::vector<Point> points{
      {"atomic-write:temp-written#1", false}, {"app-move-back-copying#2", false},
      {"app-move-back-staged", false},        {"app-move-back-unlinked", false},
      {"app-move-back-renamed", false},       {"app-move-back-retired", false},
      {"atomic-write:temp-written#2", false}, {"app-move-back-retired", true},
      {"atomic-write:temp-written#1", true},
  };
  Tally tally;
  for (const auto& point : points) {
    SCOPED_TRACE(std::string(point.stopAt) + (point.reinstalled ? " (reinstalled)" : ""));
    AppMoveWorld w;
    EntryByEntryTools copier;
    w.env.tools = &copier;
    const fs::path original = w.makeBundle("Q", "2.0");
    const TreeView moved = userView(original);
    AppRelocatorEngine engine(w.env);
    const auto id = engine.enqueue(w.entry("Q"), w.appsRoot, {}, false);
    engine.drain();
    ASSERT_TRUE(id && isLinkTo(original, (w.appsRoot / "Q.app").string()));
    TreeView reinstalled;
    if (point.reinstalled) {
      fs::remove(original);
      w.makeBundle("Q", "1.0", " old");
      reinstalled = userView(original);
    }
    const bool killed = killedAt(point.stopAt, [&] { (void)engine.runMoveBack(*id); });
    EXPECT_TRUE(killed) << "the kill point was never reached";
    ++tally.tried;
    AppRelocatorEngine relaunched(w.env);
    relaunched.recoverPendingManifests();

    const fs::path copy = w.appsRoot / "Q.app";
    const TreeView atOriginal = userView(original);
    bool whole = atOriginal == moved || (point.reinstalled && atOriginal == reinstalled);
    whole = whole && (isRealFolder(original) || isLinkTo(original, copy.string()));
    // Neither the drive copy nor a reinstalled copy may vanish.
    const auto kept = testing::keptBeside(w.appsRoot, "Q.app");
    const bool movedKept =
        atOriginal == moved || userView(copy) == moved ||
        std::ranges::any_of(kept, [&](const fs::path& k) { return userView(k) == moved; });
    const bool reinstalledKept = !point.reinstalled || atOriginal == reinstalled;
    EXPECT_TRUE(whole);
    EXPECT_TRUE(movedKept);
    EXPECT_TRUE(reinstalledKept);
    EXPECT_FALSE(fs::exists(original.string() + ".restoring")) << "staging left behind";
    EXPECT_EQ(unrecordedParked(w), 0);
    if (!(whole && movedKept && reinstalledKept)) ++tally.lost;
  }
  std::cout << "[ crash    ] move back: kill points tried " << tally.tried << ", bundles lost "
            << tally.lost << "\n";
  RecordProperty("kill_points_tried", tally.tried);
  RecordProperty("bundles_lost", tally.lost);
  EXPECT_EQ(tally.lost, 0);
}

}  // namespace
}  // namespace brimvale::apps
