// A cloud transfer job run through the SyncManager against `rclone copy`
// with the same arguments run directly: 5,000 files totalling 1 GiB copied
// to a local-path remote on a tmpfs. The wrapper should add nothing
// measurable (ratio of medians, target <= 1.05x). While the job runs, the
// CPU this process uses itself (its own threads: rclone's output readers and
// the polling loop, not rclone) is measured from /proc/self/stat: under 2 %
// of one core.
//
// Usage: cloud_job_vs_rclone [runs]   (default 5; needs scripts/in-private-mounts)
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "cloud/rclone_client.h"
#include "cloud/sync_manager.h"
#include "common/base/file_io.h"
#include "common/base/process.h"

namespace fs = std::filesystem;
using brimvale::bench::median;
using namespace brimvale;

namespace {

constexpr int kFiles = 5000;
constexpr std::uint64_t kTotalBytes = 1ull << 30;
constexpr const char* kRemote = "bench-local";

void makeSource(const fs::path& source) {
  std::string pattern(1u << 20, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 131 % 251);
  const std::size_t each = kTotalBytes / kFiles;
  for (int i = 0; i < kFiles; ++i) {
    const fs::path folder = source / ("folder " + std::to_string(i / 100));
    fs::create_directories(folder);
    std::ofstream out(folder / ("file " + std::to_string(i) + ".bin"), std::ios::binary);
    for (std::size_t written = 0; written < each;) {
      const std::size_t piece = std::min(each - written, pattern.size() - 251);
      out.write(pattern.data() + i % 251, static_cast<std::streamsize>(piece));
      written += piece;
    }
  }
}

// This process's own CPU time (user + system, all its threads) in seconds.
double ownCpuSeconds() {
  auto stat = readFile("/proc/self/stat");
  if (!stat) return 0;
  std::istringstream fields(stat->substr(stat->rfind(')') + 1));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct JobTiming {
  double ms = 0;
  double cpuPercent = 0;
};

JobTiming timeJob(const std::string& rclone, const fs::path& home, const fs::path& source,
                  const std::string& destination) {
  cloud::RcloneClient client(rclone, runProcess);
  cloud::SyncManager manager({.jobsFile = home / "sync" / "jobs.json",
                              .rclone = rclone,
                              .run = runProcess,
                              .client = &client});
  if (!manager.load()) std::exit(1);
  const double cpuBefore = ownCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const std::string id =
      manager.enqueue(cloud::newSyncJob(source.string(), destination, cloud::JobMode::kCopy, 1));
  // As the command line drives it: sleep until rclone reports, then apply.
  while (!cloud::isFinished(manager.find(id)->state)) {
    manager.waitForActivity(std::chrono::milliseconds(200));
    manager.poll();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = ownCpuSeconds() - cpuBefore;
  if (manager.find(id)->state != cloud::JobState::kCompleted) {
    std::fprintf(stderr, "the job did not complete: %s\n",
                 manager.find(id)->errorMessage.value_or("").c_str());
    std::exit(1);
  }
  manager.removeFinished();
  return {seconds * 1000, 100 * cpu / seconds};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::string rclone = findExecutable("rclone");
  char pattern[] = "/tmp/bv-cloud-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path root = pattern;
  const bool onTmpfs = mount("tmpfs", root.c_str(), "tmpfs", 0, "size=3g") == 0;
  std::printf("files: %d, bytes: %llu, on %s\n", kFiles,
              static_cast<unsigned long long>(kTotalBytes),
              onTmpfs ? "tmpfs" : "the temporary folder's disk (tmpfs mount refused)");
  // rclone reads and writes only this benchmark's own configuration.
  setenv("RCLONE_CONFIG", (root / "rclone.conf").c_str(), 1);
  setenv("RCLONE_CACHE_DIR", (root / "cache").c_str(), 1);
  if (!runProcess({.path = rclone, .args = {"config", "create", kRemote, "local"}}).succeeded()) {
    std::fprintf(stderr, "could not configure the local remote\n");
    return 1;
  }
  const fs::path source = root / "source";
  makeSource(source);
  const fs::path target = root / "destination";
  const std::string destination = std::string(kRemote) + ":" + target.string();
  auto directArgs = cloud::rcloneJobArguments(
      {.mode = cloud::JobMode::kCopy, .source = source.string(), .destination = destination},
      [](const std::string&) { return std::optional<std::string>("local"); });
  // The job drops the flag an older rclone does not know; so does the peer.
  if (!cloud::rcloneTakesPartialSuffix(rclone, runProcess)) {
    directArgs = cloud::withoutPartialSuffix(std::move(directArgs));
  }

  std::vector<double> ours, direct, cpu;
  for (int i = 0; i < runs; ++i) {
    fs::remove_all(target);
    sync();
    const JobTiming job = timeJob(rclone, root / "home", source, destination);
    ours.push_back(job.ms);
    cpu.push_back(job.cpuPercent);
    fs::remove_all(target);
    sync();
    direct.push_back(brimvale::bench::timeOnce({.path = rclone, .args = directArgs}));
  }
  brimvale::bench::reportRatio("SyncManager job", ours, "rclone copy", direct, 1.05);
  std::printf("application CPU while the job runs:");
  for (double c : cpu) std::printf(" %.2f", c);
  std::printf(" %% of one core; median %.2f %% (target < 2 %%)\n", median(cpu));
  if (onTmpfs) umount(root.c_str());
  fs::remove_all(root);
  return 0;
}
