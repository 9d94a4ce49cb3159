// The drive-to-drive transfer job end to end: the real brim-vale, real rsync
// and two tmpfs drives, including unplugging the destination mid-copy.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "service_process.h"
#include "transfer_scene.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string kSlowRsync = BRIMVALE_STANDINS_DIR "/slow_rsync";

class TransferE2E : public ::testing::Test {
 protected:
  // Every scenario copies from src_ to dst_ (skipped without mounts).
  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(src_);
    BRIMVALE_REQUIRE_DRIVE(dst_);
  }

  // Lays out a managed working folder with `files` MiB-sized files on `drive`
  // and points the configuration at it.
  void prepareSource(const TmpfsDrive& drive, int files) {
    source_ = prepareTransferSource(home_, drive, files, 7);
    fs::create_directories(source_ / "Apps" / "Tool.app");
    std::ofstream(source_ / "Apps" / "Tool.app" / "Info \"plist\"") << "small";
    fs::create_symlink("Info \"plist\"", source_ / "Apps" / "Tool.app" / "link");
  }

  json status() { return transferStatus(home_); }

  json waitForPhase(const std::string& phase, int seconds = 60) {
    return waitForTransferPhase(home_, phase, seconds);
  }

  // Waits until the copy has moved some bytes (the supervisor folds once a second).
  void waitForProgress() {
    EXPECT_TRUE(eventually([&] { return status()["bytesDone"].get<std::uint64_t>() > 0; }, 30s))
        << "no progress reported";
  }

  void tick() { transferWatchTick(home_); }

  // Every file below `root` with its size and modification time.
  static std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      auto st = e.symlink_status();
      std::string facts = std::to_string(static_cast<int>(st.type()));
      if (fs::is_regular_file(st)) {
        facts += " " + std::to_string(e.file_size()) + " " +
                 std::to_string(e.last_write_time().time_since_epoch().count());
      }
      files[e.path().lexically_relative(root).string()] = facts;
    }
    return files;
  }

  static void expectSameContent(const fs::path& a, const fs::path& b) {
    for (const auto& e : fs::recursive_directory_iterator(a)) {
      const fs::path rel = e.path().lexically_relative(a);
      if (rel == ".hollin-managed") continue;
      SCOPED_TRACE(rel.string());
      ASSERT_TRUE(fs::exists(fs::symlink_status(b / rel)));
      if (e.is_symlink()) {
        EXPECT_EQ(fs::read_symlink(e.path()), fs::read_symlink(b / rel));
      } else if (e.is_regular_file()) {
        EXPECT_EQ(readFile(e.path()).value(), readFile(b / rel).value());
      }
    }
  }

  fs::path lock() const { return home_.state() / "transfer.lock"; }

  std::string tag_ = testTag();
  TmpfsDrive src_{"xs-" + tag_};
  TmpfsDrive dst_{"xd-" + tag_};
  TempHome home_;
  fs::path source_;
};

// Given a destination too small, taken or missing, an unconfirmed start or a
// live lock, then nothing starts and nothing is created.
TEST_F(TransferE2E, PreflightAndStartRefuseWithoutCreatingAnything) {
  TmpfsDrive full("xf-" + tag_, "8m");
  TmpfsDrive taken("xt-" + tag_, "64m");
  BRIMVALE_REQUIRE_DRIVE(full);
  BRIMVALE_REQUIRE_DRIVE(taken);
  prepareSource(src_, 8);
  fs::create_directories(taken.path() / thisWorkingFolderName());

  ProcessResult r = runBrimVale(home_, {"transfer-check", full.path().string()});
  EXPECT_EQ(r.exitCode, 0);
  json check = json::parse(r.out);
  EXPECT_EQ(check["verdict"], "block");

  r = runBrimVale(home_, {"transfer-check", taken.path().string(), "backup"});
  check = json::parse(r.out);
  EXPECT_EQ(check["verdict"], "block");
  EXPECT_EQ(check["destHasStor"], true);

  r = runBrimVale(home_, {"transfer-start", "backup", taken.path().string(), "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(lock())) << "a refused start frees the lock";

  fs::create_directories(lock());
  std::ofstream(home_.state() / "transfer-job.kv") << "phase=copying\n";
  r = runBrimVale(home_, {"transfer-start", dst_.path().string(), "yes"});
  EXPECT_EQ(r.out, "A transfer is already in progress.\n");
  EXPECT_TRUE(fs::is_empty(dst_.path()));
}

// Given a copy in flight, when the destination is lazily unmounted the job
// waits for the drive; once it is back, a watch tick resumes it and the
// copy finishes from where it was.
TEST_F(TransferE2E, UnpluggedDestinationWaitsAndATickResumesIt) {
  prepareSource(src_, 16);
  const auto before = snapshot(src_.path());
  const fs::path hold = home_.path() / "unplugged";
  fs::create_directories(hold);

  ASSERT_EQ(runBrimVale(home_, {"transfer-start", "backup", dst_.path().string(), "1"},
                        {{"RSYNC", kSlowRsync}})
                .exitCode,
            0);
  waitForProgress();
  // Keep the drive's contents alive elsewhere, then pull it out from under the copy.
  ASSERT_EQ(mount(dst_.path().c_str(), hold.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(umount2(dst_.path().c_str(), MNT_DETACH), 0);

  json waiting = waitForPhase("waitingForDrive", 20);
  EXPECT_TRUE(fs::is_directory(lock()));
  tick();
  EXPECT_EQ(status()["phase"], "waitingForDrive") << "no resume while the drive is away";
  EXPECT_EQ(status()["resumeCount"], 0);

  ASSERT_EQ(mount(hold.c_str(), dst_.path().c_str(), nullptr, MS_BIND, nullptr), 0);
  umount2(hold.c_str(), MNT_DETACH);
  tick();
  json resumed = status();
  EXPECT_EQ(resumed["resumeCount"], 1);
  EXPECT_NE(resumed["phase"], "waitingForDrive");

  waitForPhase("done");
  expectSameContent(source_, dst_.path() / thisWorkingFolderName());
  EXPECT_EQ(snapshot(src_.path()), before);
}

// Given a supervisor killed outright mid-copy, then its copy dies with it,
// and the next tick takes the stale job up again.
TEST_F(TransferE2E, CopyNeverOutlivesItsSupervisor) {
  prepareSource(src_, 12);
  ASSERT_EQ(runBrimVale(home_, {"transfer-start", "backup", dst_.path().string(), "1"},
                        {{"RSYNC", kSlowRsync}})
                .exitCode,
            0);
  waitForProgress();
  const std::string destWorking = (dst_.path() / thisWorkingFolderName()).string();
  ASSERT_FALSE(processesOf(destWorking, home_.path()).empty());
  const pid_t supervisor = std::stoi(readFile(home_.state() / "transfer.pid").value());
  ASSERT_EQ(kill(supervisor, SIGKILL), 0);

  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gone = processesOf(destWorking, home_.path()).empty();
  }
  EXPECT_TRUE(gone) << "a copy outlived its supervisor";
  EXPECT_EQ(status()["phase"], "copying");

  tick();
  EXPECT_EQ(status()["resumeCount"], 1);
  waitForPhase("done");
  expectSameContent(source_, destWorking);
}

TEST_F(TransferE2E, PausedJobIsNeverResumedByATickAndCancelDeletesOnlyTheCopy) {
  prepareSource(src_, 12);
  const auto before = snapshot(src_.path());

  ASSERT_EQ(
      runBrimVale(home_, {"transfer-start", dst_.path().string(), "1"}, {{"RSYNC", kSlowRsync}})
          .exitCode,
      0);
  waitForProgress();
  ProcessResult r = runBrimVale(home_, {"transfer-pause"});
  EXPECT_EQ(status()["phase"], "paused");
  EXPECT_FALSE(fs::exists(home_.state() / "transfer.pid"));
  EXPECT_FALSE(fs::exists(home_.state() / "transfer-rsync.pid")) << "the copy has stopped";

  tick();
  EXPECT_EQ(status()["phase"], "paused");
  EXPECT_EQ(status()["resumeCount"], 0);

  r = runBrimVale(home_, {"transfer-resume"}, {{"RSYNC", kSlowRsync}});
  EXPECT_EQ(status()["resumeCount"], 1);

  r = runBrimVale(home_, {"transfer-cancel"});
  EXPECT_EQ(status()["phase"], "failed");
  EXPECT_FALSE(fs::exists(dst_.path() / thisWorkingFolderName()));
  EXPECT_FALSE(fs::exists(lock()));
  EXPECT_EQ(snapshot(src_.path()), before);
}

}  // namespace
}  // namespace brimvale::e2e
