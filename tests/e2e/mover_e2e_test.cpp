// The folder mover end to end: `brimvale move` with real rsync into a tmpfs
// drive, relaunches after SIGKILL in each phase, and an unplugged drive.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "e2e_harness.h"
#include "mover_scene.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Phase of the only move record on disk, or empty.
std::string manifestPhase(const TempHome& home) {
  const nlohmann::json record = onlyMoveRecord(home);
  return record.is_object() ? record.value("phase", "") : "";
}

// Every regular file of `reference` reads the same through `moved` (links followed).
void expectSameContent(const fs::path& reference, const fs::path& moved) {
  std::size_t checked = 0;
  for (const auto& e : fs::recursive_directory_iterator(reference)) {
    if (!e.is_regular_file()) continue;
    const fs::path rel = e.path().lexically_relative(reference);
    auto want = readFile(e.path());
    auto got = readFile(moved / rel);
    ASSERT_TRUE(got) << "lost: " << rel;
    ASSERT_EQ(*got, *want) << "altered: " << rel;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

class MoverE2E : public MoverScene {
 protected:
  MoverE2E() : MoverScene("Mover-", "768m") {}
};

TEST_F(MoverE2E, SurvivesSigkillInEveryPhase) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  for (const std::string target : {"copying", "hashing", "verifying", "cleaningUp"}) {
    SCOPED_TRACE(target);
    TempHome home;
    prepareMoverHome(home, drive_.path());
    const std::string name = "Tree-" + target;
    const fs::path src = home.path() / name;
    writeAwkwardTree(src, 3000, 40000, 17);
    const fs::path reference = home.path() / "reference";
    fs::copy(src, reference, fs::copy_options::recursive);
    std::string seen;
    {
      BackgroundApp move(
          home,
          {"move", "--yes", src.string(), "--verify", target == "copying" ? "fast" : "thorough"},
          "move-output.txt");
      const auto giveUp = std::chrono::steady_clock::now() + 120s;
      const std::vector<std::string> order{"writing",   "copying",    "hashing",
                                           "verifying", "cleaningUp", "done"};
      const auto rank = [&](const std::string& p) {
        return std::find(order.begin(), order.end(), p) - order.begin();
      };
      while (move.running() && std::chrono::steady_clock::now() < giveUp) {
        seen = manifestPhase(home);
        if (!seen.empty() && rank(seen) >= rank(target)) break;
        std::this_thread::sleep_for(1ms);
      }
      move.kill9();
    }
    RecordProperty("killed_in_" + target, seen);
    auto resumed = runApp(home, {"moves", "resume"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(manifestPhase(home), "done") << "killed in " << seen << "\n"
                                           << runApp(home, {"move-log"}).out;
    expectSameContent(reference, src);
    expectSameContent(reference, relocated(name));
    fs::remove_all(relocated(name));
  }
}

TEST_F(MoverE2E, DriveUnpluggedDuringTheCopyLeavesTheMoveWaiting) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Big";
  writeAwkwardTree(src, 3000, 60000, 17);
  {
    BackgroundApp move(home_, {"move", "--yes", src.string()}, "move-output.txt");
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    const fs::path log = home_.state() / "mover-log.txt";
    while (readFile(log).value_or("").find("] rsync started (pid ") == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(umount2(drive_.path().c_str(), MNT_DETACH), 0);
    while (move.running() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(10ms);
    // Told as a drive that went away, not one that was never there.
    EXPECT_NE(move.output().find("The drive went away during the move"), std::string::npos)
        << move.output();
  }
  EXPECT_EQ(manifestPhase(home_), "waitingForDrive") << runApp(home_, {"move-log"}).out;
  auto list = runApp(home_, {"moves"});
  EXPECT_NE(list.out.find("Destination drive disconnected during copy. Will resume on reconnect."),
            std::string::npos)
      << list.out;
  EXPECT_EQ(readFile(src / "dir 3" / "file \"3\" é.bin")->size(), 60000u);
}

}  // namespace
}  // namespace brimvale::e2e
