// The bundle copy of an app move against `cp -a` of the same bundle: 20,000
// files totalling 1 GiB (with links, hard links and attributes) on a tmpfs,
// copied to the same tmpfs. Two figures: the copy alone, and the copy with
// what the move adds around it (counting files and bytes of both trees, and
// the link left behind). Each is the ratio of the medians of alternating runs.
//
// Usage: bundle_copy_vs_cp [runs]   (default 5; needs scripts/in-private-mounts)
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bundle_maker.h"
#include "common/base/process.h"
#include "platform/linux/linux_app_relocation_tools.h"

namespace fs = std::filesystem;
using brimvale::bench::timeOnce;

namespace {

struct Metrics {
  std::uint64_t files = 0, bytes = 0;
};

Metrics metricsOf(const fs::path& root) {
  Metrics m;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    ++m.files;
    m.bytes += it->file_size(ec);
  }
  return m;
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 5;
  const fs::path root = brimvale::bench::scratchFolder("bundle");
  if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=3g") != 0) {
    std::perror("mount (run through scripts/in-private-mounts)");
    return 1;
  }
  const fs::path app = root / "Bench.app";
  brimvale::bench::makeBundle(app);
  const fs::path applications = root / "Applications";
  fs::create_directories(applications);
  const fs::path copy = root / "Apps" / "Bench.app";
  fs::create_directories(copy.parent_path());
  const fs::path peerCopy = root / "peer" / "Bench.app";
  fs::create_directories(peerCopy.parent_path());

  auto tools = brimvale::platform::makeLinuxAppRelocationTools({}, {}, brimvale::runProcess);
  std::vector<double> copyOnly, wholeStep, peer;
  for (int i = -1; i < runs; ++i) {  // the first round warms the caches
    auto start = std::chrono::steady_clock::now();
    const auto step =
        tools->copyBundle(app.string(), copy.string(), "copy", std::chrono::seconds{3600}, {});
    const double copied = msSince(start);
    if (!step) {
      std::fprintf(stderr, "copy failed: %s\n", step.error().detail.c_str());
      return 1;
    }
    const Metrics from = metricsOf(app), to = metricsOf(copy);
    if (from.files != to.files || from.bytes != to.bytes) {
      std::fprintf(
          stderr, "copy differs: %llu/%llu files, %llu/%llu bytes\n",
          static_cast<unsigned long long>(from.files), static_cast<unsigned long long>(to.files),
          static_cast<unsigned long long>(from.bytes), static_cast<unsigned long long>(to.bytes));
      return 1;
    }
    fs::create_symlink(copy, applications / "Bench.app");
    const double whole = msSince(start);
    fs::remove(applications / "Bench.app");
    fs::remove_all(copy);
    const double cp =
        timeOnce({.path = "/bin/cp", .args = {"-a", app.string(), peerCopy.string()}});
    fs::remove_all(peerCopy);
    if (i < 0) continue;
    copyOnly.push_back(copied);
    wholeStep.push_back(whole);
    peer.push_back(cp);
  }
  std::printf("bundle: %d files, 1 GiB, tmpfs to tmpfs\n", brimvale::bench::kBundleFiles);
  brimvale::bench::reportRatio("copyBundle", copyOnly, "cp -a", peer, 1.0);
  brimvale::bench::reportRatio("copy+verify+link", wholeStep, "cp -a", peer, 1.3);

  umount2(root.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(root, ec);
  return 0;
}
