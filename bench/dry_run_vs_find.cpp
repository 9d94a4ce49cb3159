// Whole-process cost of `brim-vale dry-run` with one archive_old rule over a
// folder of 100,000 entries against `find {src} -mindepth 1 -maxdepth 1
// -mtime +N`, which selects the same items. Half the entries are old, so both
// print 50,000 lines. The figure is the ratio of the medians of alternating runs.
//
// Usage: dry_run_vs_find [runs]   (default 15)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/process.h"

namespace fs = std::filesystem;
using brimvale::bench::timeOnce;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  const fs::path home = brimvale::bench::scratchFolder("dry");
  const fs::path src = home / "Downloads";
  fs::create_directories(src);
  const std::time_t old = std::time(nullptr) - 30 * 86400;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "item " + std::to_string(i) + (i % 7 == 0 ? " \xC3\xA9t\xC3\xA9" : "");
    const int fd = openat(AT_FDCWD, (src / name).c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0) {
      std::perror("create");
      return 1;
    }
    if (i % 2 == 0) {
      const timespec times[2] = {{old, 0}, {old, 0}};
      futimens(fd, times);
    }
    close(fd);
  }
  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf")
      << "NVMe=/Volumes/bench-absent\n"
         "RULES=(\n  \"archive_old | $HOME/Downloads | Downloads-Archive | 10 | \"\n)\n";

  brimvale::ProcessInvocation dryRun{
      .path = BRIM_VALE_PATH, .args = {"dry-run"}, .envAdditions = {{"HOME", home.string()}}};
  brimvale::ProcessInvocation find{
      .path = brimvale::findExecutable("find"),
      .args = {src.string(), "-mindepth", "1", "-maxdepth", "1", "-mtime", "+10"}};
  std::vector<double> a, b;
  for (int i = -1; i < runs; ++i) {  // the first pair warms the caches
    const double ma = timeOnce(dryRun);
    const double mb = timeOnce(find);
    if (i < 0) continue;
    a.push_back(ma);
    b.push_back(mb);
  }
  std::printf("folder: 100,000 entries, 50,000 older than the rule's 10 days\n");
  brimvale::bench::reportRatio("brim-vale dry-run", a, "find -mtime +10", b, 1.00);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
