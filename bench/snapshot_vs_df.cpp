// Whole-process cost of `brim-vale json` (the full status snapshot) against
// one `df -k /`, the cheapest peer that measures a volume. Runs alternate so
// both see the same machine state; the figure is the ratio of the medians.
//
// Usage: snapshot_vs_df [runs]   (default 200; run inside scripts/in-private-mounts
// for a mounted tmpfs drive, otherwise the drive is reported absent)
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

using brimvale::bench::median;
using brimvale::bench::timeOnce;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;
  const fs::path root = brimvale::bench::scratchFolder("snapshot");
  const fs::path home = root / "home";

  // A usable drive when this process may mount (inside the private namespace).
  const fs::path drive = root / "Drive";
  std::error_code ec;
  fs::create_directories(drive, ec);
  bool mounted = !ec && mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=64m") == 0;
  if (mounted) {
    std::string name =
        brimvale::workingFolderName(brimvale::platform::makeHostPlatform().host->computerName());
    fs::create_directories(drive / name);
    std::ofstream(drive / name / ".hollin-managed") << "version=1\n";
  }
  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf")
      << "NVMe=\"" << drive.string()
      << "\"\nENABLE_AUTO_ACTIONS=1\nRULES=(\n  \"archive|$HOME/Downloads|*.dmg|30|\"\n)\n";

  brimvale::ProcessInvocation snapshot{
      .path = BRIM_VALE_PATH, .args = {"json"}, .envAdditions = {{"HOME", home.string()}}};
  brimvale::ProcessInvocation df{.path = "/bin/df", .args = {"-k", "/"}};

  for (int i = 0; i < 5; ++i) {  // warm the page cache for both programs
    timeOnce(snapshot);
    timeOnce(df);
  }
  std::vector<double> a, b;
  for (int i = 0; i < runs; ++i) {
    a.push_back(timeOnce(snapshot));
    b.push_back(timeOnce(df));
  }
  double ma = median(a), mb = median(b);
  std::printf("drive: %s\n", mounted ? "mounted tmpfs, usable" : "absent");
  std::printf("runs: %d alternating\n", runs);
  std::printf("brim-vale json  median %.3f ms\n", ma);
  std::printf("df -k /         median %.3f ms\n", mb);
  std::printf("ratio: %.2fx (target <= 1.50x)\n", ma / mb);

  if (mounted) umount2(drive.c_str(), MNT_DETACH);
  fs::remove_all(root, ec);
  return 0;
}
