#include "common/base/folder_in_use.h"
#include "testing/temp_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace brimvale {
namespace {

namespace fs = std::filesystem;

TEST(FolderInUse, GroupsProcessesAndDropsOurOwn) {
  auto entries = parseInUseOutput(
      "p10\ncvim\nf1\np11\ncvim\np12\ncbash\np99\ncself\np13\n", 99,
      [](int pid) { return pid == 10 || pid == 11 ? std::string("/usr/bin/vim") : std::string(); });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].id, "/usr/bin/vim");
  EXPECT_EQ(entries[0].pids, (std::vector<int>{10, 11}));
  EXPECT_EQ(entries[1].id, "pid-12");
  EXPECT_EQ(entries[1].displayName, "bash");
  EXPECT_EQ(entries[2].displayName, "Process 13");
}

TEST(FolderInUse, SlowProbeIsCutOffWithItsPartialOutput) {
  const brimvale::testing::TempFolder tmp("lsof-standin");
  fs::path dir = tmp.path();
  const fs::path script = dir / "lsof";
  { std::ofstream(script) << "#!/bin/sh\necho p4242\necho csleeper\nexec sleep 30\n"; }
  chmod(script.c_str(), 0755);
  FolderInUseProbe probe(script.string(), std::chrono::milliseconds(300));
  auto entries = probe.scan("/tmp");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].displayName, "sleeper");
  FolderInUseProbe missing("/nonexistent/lsof");
  EXPECT_TRUE(missing.scan("/tmp").empty());
}

// A child holding a file open inside the folder is found; one holding a file
// beside it is not, and this process (which holds both) is never listed.
TEST(FolderInUse, ProcScanFindsHoldersInsideTheFolderOnly) {
  const brimvale::testing::TempFolder tmp("in-use");
  const fs::path dir = tmp.path();
  fs::create_directories(dir / "watched" / "deep");
  const fs::path inside = dir / "watched" / "deep" / "open.txt";
  const fs::path beside = dir / "watched-not" / "open.txt";
  fs::create_directories(beside.parent_path());
  std::ofstream(inside) << "x";
  std::ofstream(beside) << "x";
  auto holder = [](const fs::path& file) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(file.c_str(), O_RDONLY);
      (void)!write(ready[1], "r", 1);
      pause();
      _exit(fd < 0 ? 1 : 0);
    }
    char c = 0;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
  };
  const pid_t in = holder(inside), out = holder(beside);
  const int mine =
      open(inside.c_str(), O_RDONLY);  // after the forks, so only this process holds it
  const auto entries = FolderInUseProbe::procScanner().scan((dir / "watched").string());
  std::vector<int> pids;
  for (const auto& e : entries) pids.insert(pids.end(), e.pids.begin(), e.pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), in), pids.end());
  EXPECT_EQ(std::find(pids.begin(), pids.end(), out), pids.end());
  EXPECT_EQ(std::find(pids.begin(), pids.end(), getpid()), pids.end());
  EXPECT_TRUE(
      FolderInUseProbe::procScanner("/nonexistent/proc").scan((dir / "watched").string()).empty());
  for (pid_t p : {in, out}) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  close(mine);
}

}  // namespace
}  // namespace brimvale
