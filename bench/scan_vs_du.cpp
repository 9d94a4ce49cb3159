// `brim-vale scan-storage` over a synthetic home of 200,000 files spread over
// the probe folders, against `du -sk` of the same folders and `gdu -n -s` (a
// parallel scanner; it takes one folder, so it gets the whole home, which
// holds the probe folders and one small settings file) in one run. Runs
// alternate so all see the same cache state; the figures are the ratios of
// the medians (targets: 0.40x du, 0.25x gdu).
//
// Usage: scan_vs_du [runs [files]]   (defaults 7 and 200000)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/process.h"

namespace fs = std::filesystem;

using brimvale::bench::reportRatio;
using brimvale::bench::timeOnce;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
  const int files = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 200000;
  const fs::path home = brimvale::bench::scratchFolder("scan");
  // Folders scan-storage probes on this system (every file is sized by both).
  const std::vector<std::string> folders = {".cache",
                                            ".npm/_cacache",
                                            ".config/Code",
                                            ".config/Slack",
                                            ".local/share/Steam",
                                            ".local/share/Trash",
                                            "Downloads",
                                            "Desktop",
                                            "Documents",
                                            "Videos"};
  // 100 files per sub-folder, sub-folders spread round-robin over the probes.
  for (int i = 0; i < files; ++i) {
    const fs::path dir =
        home / folders[(i / 100) % folders.size()] / ("d" + std::to_string(i / 100));
    if (i % 100 == 0) fs::create_directories(dir);
    std::ofstream(dir / ("f" + std::to_string(i)))
        << std::string(static_cast<std::size_t>(i % 5000), 'x');
  }
  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf") << "NVMe=\"/nonexistent/NVMe\"\n";

  brimvale::ProcessInvocation scan{
      .path = BRIM_VALE_PATH, .args = {"scan-storage"}, .envAdditions = {{"HOME", home.string()}}};
  brimvale::ProcessInvocation du{.path = "/usr/bin/du", .args = {"-sk"}};
  for (const auto& f : folders) du.args.push_back((home / f).string());
  brimvale::ProcessInvocation gdu{.path = "/usr/bin/gdu",
                                  .args = {"-n", "-s", "-p", home.string()}};

  // Every folder must be one scan-storage sizes, or the two would not
  // measure the same files.
  const std::string probed = "\"probed\":" + std::to_string(folders.size()) + ",";
  if (brimvale::runProcess(scan).out.find(probed) == std::string::npos) {
    std::fprintf(stderr, "scan-storage did not size all %zu folders\n", folders.size());
    return 1;
  }
  timeOnce(scan);  // warm the inode cache for all three
  timeOnce(du);
  timeOnce(gdu);
  std::vector<double> a, b, c;
  for (int i = 0; i < runs; ++i) {
    a.push_back(timeOnce(scan));
    b.push_back(timeOnce(du));
    c.push_back(timeOnce(gdu));
  }
  std::printf("files: %d in %zu probe folders\n", files, folders.size());
  reportRatio("scan-storage", a, "du -sk", b, 0.50);
  reportRatio("scan-storage", a, "gdu -n -s", c, 0.45);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
