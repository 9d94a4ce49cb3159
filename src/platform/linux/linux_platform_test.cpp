#include "platform/linux/linux_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"

extern char** environ;

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;

// Tool paths that exist nowhere, so only what a test sets up is consulted.
LinuxPaths isolatedPaths(const TempFolder& dir) {
  LinuxPaths paths;
  paths.procRoot = (dir.path() / "proc").string();
  paths.powerSupplyRoot = (dir.path() / "power_supply").string();
  paths.machineInfo = (dir.path() / "machine-info").string();
  paths.userRuntimeDir = (dir.path() / "run").string();
  paths.xprintidle = "/nonexistent/xprintidle";
  paths.loginctl = "/nonexistent/loginctl";
  paths.busctl = "/nonexistent/busctl";
  paths.gdbus = "/nonexistent/gdbus";
  paths.logindUsersDir = (dir.path() / "users").string();
  return paths;
}

TEST(LinuxMountTable, MatchesExactMountPoints) {
  TempFolder dir;
  dir.file("proc/self/mountinfo",
           "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
           "98 22 259:5 / /Volumes/NVMe\\040Drive rw,relatime - ext4 /dev/nvme1n1p1 rw\n");
  Platform fake = makeLinuxPlatform(isolatedPaths(dir));
  EXPECT_TRUE(fake.mounts->isMountedAt("/Volumes/NVMe Drive"));
  EXPECT_FALSE(fake.mounts->isMountedAt("/Volumes/NVMe"));
  EXPECT_FALSE(fake.mounts->isMountedAt("/Volumes/NVMe Drive/BRIM-studio"));

  Platform real = makeLinuxPlatform(LinuxPaths{});
  EXPECT_TRUE(real.mounts->isMountedAt("/"));
  std::filesystem::create_directories(dir.path() / "not-a-mount");
  EXPECT_FALSE(real.mounts->isMountedAt((dir.path() / "not-a-mount").string()));
}

TEST(LinuxProcessTable, FindsARealProcessByItsName) {
  TempFolder dir;
  // Longer than the 15 bytes the kernel keeps as the process name.
  std::filesystem::path program = dir.path() / "brimvale-test-sleeper";
  std::filesystem::copy_file("/bin/sleep", program);
  std::string arg0 = program.string();
  std::string seconds = "60";
  char* argv[] = {arg0.data(), seconds.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, arg0.c_str(), nullptr, nullptr, argv, environ), 0);

  Platform here = makeLinuxPlatform(LinuxPaths{});
  // The child is visible under its own name only once it has exec'd.
  bool seen = false;
  for (int i = 0; i < 500 && !seen; ++i) {
    seen = here.processes->isRunning("brimvale-test-sleeper");
    if (!seen) usleep(10000);
  }
  EXPECT_TRUE(seen);
  EXPECT_FALSE(here.processes->isRunning("brimvale-test"));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_FALSE(here.processes->isRunning("brimvale-test-sleeper"));
}

TEST(LinuxProcessTable, IgnoresOtherUsersProcesses) {
  TempFolder dir;
  dir.file("proc/101/comm", "Brimvale\n");
  dir.file("proc/101/cmdline", std::string("/opt/Brimvale\0", 14));
  LinuxPaths paths = isolatedPaths(dir);
  Platform fake = makeLinuxPlatform(paths);
  EXPECT_TRUE(fake.processes->isRunning("Brimvale"));
  if (chown((dir.path() / "proc/101").c_str(), getuid() + 1, static_cast<gid_t>(-1)) != 0) {
    GTEST_SKIP() << "cannot give the fake process to another user here";
  }
  EXPECT_FALSE(fake.processes->isRunning("Brimvale"));
}

TEST(LinuxFileFacts, SeesOnlyThePathThatIsHeldOpen) {
  TempFolder dir;
  dir.file("busy folder/it's \"open\"\n.txt", "x");
  dir.file("busy folder/idle.txt", "y");
  const std::filesystem::path held = dir.path() / "busy folder" / "it's \"open\"\n.txt";
  Platform linux = makeLinuxPlatform(LinuxPaths{});
  EXPECT_FALSE(linux.files->isOpen(held.string()));

  int fd = ::open(held.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(linux.files->isOpen(held.string()));
  // The folder holding an open file is not itself open.
  EXPECT_FALSE(linux.files->isOpen((dir.path() / "busy folder").string()));
  EXPECT_FALSE(linux.files->isOpen((dir.path() / "busy folder" / "idle.txt").string()));
  ::close(fd);
  EXPECT_FALSE(linux.files->isOpen(held.string()));
  EXPECT_FALSE(linux.files->isDataless(held.string()));
}

}  // namespace
}  // namespace brimvale::platform
