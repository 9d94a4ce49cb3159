// The real watch loop, ticking every second, following a tmpfs drive that
// goes away and comes back.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "service_process.h"

extern char** environ;

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

// Polls `file` until it holds `text`, for at most 20 seconds.
bool waitFor(const fs::path& file, const std::string& text) {
  return eventually([&] { return readFile(file).value_or("").find(text) != std::string::npos; });
}

void writeMarker(const fs::path& drive) {
  fs::create_directories(drive / thisWorkingFolderName());
  std::ofstream(drive / thisWorkingFolderName() / ".hollin-managed") << "marker_version=1\n";
}

TEST(WatchE2E, FollowsTheDriveLeavingAndComingBack) {
  TmpfsDrive drive("wl-" + std::to_string(getpid()));
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig("NVMe=\"" + drive.path().string() +
                   "\"\nWATCH_INTERVAL_SECS=1\nREMOUNT_RETRIES=1\nREMOUNT_BACKOFF_SECS=0\n");
  writeMarker(drive.path());

  const std::string homeVar = "HOME=" + home.path().string();
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).starts_with("HOME=")) continue;
    env.push_back(*e);
  }
  env.push_back(const_cast<char*>(homeVar.c_str()));
  env.push_back(nullptr);
  char program[] = BRIM_VALE_PATH;
  char watch[] = "watch";
  char* argv[] = {program, watch, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, env.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  const fs::path log = home.path() / ".brimvale/brim-vale.log";
  const fs::path queue = home.state() / "notifications.queue";
  EXPECT_TRUE(waitFor(log, "NVMe present at startup."));
  EXPECT_TRUE(waitFor(home.state() / "status.json", "\"marker_ok\": true"));

  ASSERT_EQ(umount2(drive.path().c_str(), MNT_DETACH), 0);
  EXPECT_TRUE(waitFor(queue, "\"title\":\"NVMe disconnected\""));
  EXPECT_TRUE(waitFor(queue, "\"title\":\"NVMe still missing\""));

  ASSERT_EQ(mount("tmpfs", drive.path().c_str(), "tmpfs", 0, "size=16m,mode=0755"), 0);
  writeMarker(drive.path());
  EXPECT_TRUE(waitFor(queue, "\"title\":\"NVMe restored\""));
  EXPECT_TRUE(waitFor(log, "NVMe present."));

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace
}  // namespace brimvale::e2e
