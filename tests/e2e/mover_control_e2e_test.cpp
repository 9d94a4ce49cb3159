// Controlling a running move from outside it: `brimvale moves cancel` from a
// second process, and `brimvale move --quit-apps` with a real program
// holding the folder. Counts what the user's folder lost (must be nothing).
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/spawn.h"
#include "e2e_harness.h"
#include "mover_scene.h"
#include "service_process.h"
#include "testing/text_checks.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using brimvale::testing::contains;

const std::string kSlowRsync = BRIMVALE_STANDINS_DIR "/slow_rsync";

class MoverControl : public MoverScene {
 protected:
  MoverControl() : MoverScene("Control-", "256m") {}
  // Starts a slow move of `src` and waits until its copy runs and its record
  // names the process running it; the record's id.
  std::string startSlowMove(BackgroundApp& move, const std::string& name) {
    std::string id;
    EXPECT_TRUE(eventually(
        [&] {
          const auto record = onlyMoveRecord(home_);
          if (!record.is_object() || record.value("phase", "") != "copying" ||
              !record.contains("ownerPid") || !fs::exists(relocated(name)))
            return false;
          id = record["id"].get<std::string>();
          return true;
        },
        30s, 20ms))
        << move.output();
    return id;
  }
};

// Given a move copying in one process, then `moves cancel` from another
// stops it: the owner records `cancelled`, removes its partial copy, and the
// original is byte for byte what it was.
TEST_F(MoverControl, CancelFromAnotherProcessStopsTheRunningMove) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Videos";
  writeAwkwardTree(src, 40, 200000);  // 8 MB: four seconds through the slow copy
  const TreeSums before = treeSums(src);
  const TreeView seen = userView(src);
  BackgroundApp move(home_, {"move", src.string(), "--yes"}, "move.txt", {{"RSYNC", kSlowRsync}});
  const std::string id = startSlowMove(move, "Videos");
  ASSERT_FALSE(id.empty());

  auto cancel = runApp(home_, {"moves", "cancel", id.substr(0, 8)});
  EXPECT_EQ(cancel.exitCode, 0) << cancel.out << cancel.err;
  EXPECT_TRUE(contains(cancel.out, "Cancelled the move of “Videos” (it ran in Brimvale process "))
      << cancel.out << cancel.err;
  EXPECT_TRUE(contains(cancel.out,
                       "Your original is where it was, untouched, and the partial "
                       "copy on the drive was removed."))
      << cancel.out;
  EXPECT_EQ(move.wait(30s), 128 + SIGTERM) << move.output();

  const auto record = onlyMoveRecord(home_);
  EXPECT_EQ(record.value("phase", ""), "cancelled");
  EXPECT_EQ(record.value("lastError", ""), "Cancelled by user.");
  EXPECT_FALSE(record.contains("ownerPid")) << record.dump();
  EXPECT_FALSE(fs::exists(relocated("Videos")));
  EXPECT_EQ(treeSums(src), before);
  const int lost = lostEntries(seen, userView(src));
  RecordProperty("files_lost", lost);
  EXPECT_EQ(lost, 0);

  auto again = runApp(home_, {"moves", "cancel", id});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_TRUE(contains(again.err, "That move already ended (cancelled); nothing to cancel."))
      << again.err;
}

// Given a move whose process was killed outright, then nobody is signalled:
// the record is cancelled here, as any move nobody runs, and the original
// stays as it was.
TEST_F(MoverControl, CancelOfAMoveWhoseProcessDiedCancelsTheRecord) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Music";
  writeAwkwardTree(src, 40, 200000);
  const TreeSums before = treeSums(src);
  std::string id;
  {
    BackgroundApp move(home_, {"move", src.string(), "--yes"}, "move.txt", {{"RSYNC", kSlowRsync}});
    id = startSlowMove(move, "Music");
    move.kill9();
  }
  ASSERT_FALSE(id.empty());
  auto cancel = runApp(home_, {"moves", "cancel", id});
  EXPECT_EQ(cancel.exitCode, 0) << cancel.out << cancel.err;
  EXPECT_TRUE(contains(cancel.out, "Cancelled. Your original is where it was")) << cancel.out;
  EXPECT_EQ(onlyMoveRecord(home_).value("phase", ""), "cancelled");
  EXPECT_EQ(treeSums(src), before);
}

// Given a real program working inside the folder, then --quit-apps asks it
// to quit, sees it gone and moves the folder; without an option and without
// a terminal the program is left running and the move goes on as before.
TEST_F(MoverControl, QuitAppsQuitsTheProgramHoldingTheFolderThenMoves) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool quit;
  } cases[] = {
      {"--quit-apps", {"--quit-apps"}, true},
      {"no option, no terminal", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("Work ") + (c.quit ? "quit" : "kept");
    const fs::path src = home_.path() / name;
    writeAwkwardTree(src, 10, 1000);
    const TreeView seen = userView(src);
    auto holder = spawn({.path = "/bin/sleep", .args = {"300"}, .workingDir = src.string()});
    ASSERT_TRUE(holder) << holder.error().message();
    std::vector<std::string> args{"move", src.string(), "--yes"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto r = runApp(home_, args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string pid = std::to_string(holder->pid);
    EXPECT_TRUE(contains(r.out, "Apps using files in this folder")) << r.out;
    EXPECT_EQ(contains(r.out, "Quit: sleep (pid " + pid + ")."), c.quit) << r.out;
    EXPECT_EQ(contains(r.out, "No app uses files in this folder any more."), c.quit) << r.out;
    int status = 0;
    EXPECT_EQ(waitpid(holder->pid, &status, WNOHANG), c.quit ? holder->pid : 0);
    if (c.quit) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    }
    EXPECT_TRUE(contains(r.out, "Relocated " + src.string())) << r.out;
    const int lost = lostEntries(seen, userView(src));
    RecordProperty("files_lost_" + std::string(c.quit ? "quit" : "kept"), lost);
    EXPECT_EQ(lost, 0);
    if (!c.quit) {
      kill(holder->pid, SIGKILL);
      waitpid(holder->pid, &status, 0);
    }
  }
}

}  // namespace
}  // namespace brimvale::e2e
