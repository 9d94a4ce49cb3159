// The folder mover end to end: `brimvale move` with real rsync into a tmpfs
// drive, unplugged during the copy.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
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

class MoverE2E : public MoverScene {
 protected:
  MoverE2E() : MoverScene("Mover-", "768m") {}
};

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
  EXPECT_EQ(readFile(src / "dir 3" / "file \"3\" é.bin")->size(), 60000u);
}

}  // namespace
}  // namespace brimvale::e2e
