// `brim-vale scan-storage` over a synthetic home of 200,000 files spread over
// the probe folders, against `du -sk` of the same folders in one run. Runs
// alternate so both see the same cache state; the figure is the ratio of the
// medians (target: no slower than du).
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

using brimvale::bench::median;
using brimvale::bench::timeOnce;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
  const int files = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 200000;
  char tmpl[] = "/tmp/brimvale-bench-XXXXXX";
  const fs::path home = mkdtemp(tmpl);
  const std::vector<std::string> folders = {"Library/Caches/Homebrew",
                                            "Library/Developer/Xcode/DerivedData",
                                            ".npm/_cacache",
                                            "Library/Application Support/Code",
                                            "Library/Application Support/Slack",
                                            "Downloads",
                                            "Desktop",
                                            "Documents",
                                            ".Trash",
                                            "Library/Logs/DiagnosticReports"};
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

  timeOnce(scan);  // warm the inode cache for both
  timeOnce(du);
  std::vector<double> a, b;
  for (int i = 0; i < runs; ++i) {
    a.push_back(timeOnce(scan));
    b.push_back(timeOnce(du));
  }
  const double ma = median(a), mb = median(b);
  std::printf("files: %d in %zu probe folders; runs: %d alternating\n", files, folders.size(),
              runs);
  std::printf("brim-vale scan-storage  median %.1f ms\n", ma);
  std::printf("du -sk (same folders)   median %.1f ms\n", mb);
  std::printf("ratio: %.2fx (target <= 1.00x)\n", ma / mb);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
