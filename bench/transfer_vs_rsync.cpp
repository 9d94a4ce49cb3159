// A whole drive-to-drive backup (`transfer-start backup`: detached supervisor,
// progress folding, checksum verification) against rsync run alone on the
// same tree between two tmpfs drives, alternating in one series per tree
// size. Each phase is compared with rsync given the job's own arguments (taken
// from the supervisor, so the figure measures only what the job adds): the
// copy with the job's copy, the verification with the job's checksum dry run
// of the finished copy. The whole job is reported against bare `rsync -aHEX`.
// The job's phases are timed from the store's own changes (inotify), so
// watching them costs the machine nothing while rsync runs.
//
// Usage: transfer_vs_rsync [runs] [MiB[,MiB...]]   (default 3 runs of 1024
// and 2048 MiB; run inside scripts/in-private-mounts)
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/spawn.h"
#include "common/state/paths.h"
#include "platform/platform.h"
#include "service/drive_transfer/transfer_progress.h"
#include "service/drive_transfer/transfer_supervisor.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool mountTmpfs(const fs::path& at, const std::string& size) {
  std::error_code ec;
  fs::create_directories(at, ec);
  return mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

// Mixed sizes: a few large files, many medium, thousands of small ones.
void makeTree(const fs::path& root, std::uint64_t mib) {
  std::mt19937_64 random(42);
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); i += 8) {
    std::uint64_t r = random();
    std::memcpy(block.data() + i, &r, 8);
  }
  auto write = [&](const fs::path& file, std::uint64_t bytes, std::uint64_t seed) {
    std::ofstream out(file, std::ios::binary);
    std::memcpy(block.data(), &seed, 8);  // no two files alike
    for (std::uint64_t left = bytes; left > 0;) {
      std::uint64_t n = std::min<std::uint64_t>(left, block.size());
      out.write(block.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  };
  const std::uint64_t total = mib << 20;
  std::uint64_t seed = 0;
  fs::create_directories(root / "Large");
  for (int i = 0; i < 3; ++i)
    write(root / "Large" / ("disk" + std::to_string(i) + ".img"), total * 3 / 8 / 3, ++seed);
  for (int d = 0; d < 8; ++d) {
    fs::path dir = root / "Medium" / ("set " + std::to_string(d));
    fs::create_directories(dir);
    for (int i = 0; i < 16; ++i) write(dir / ("m" + std::to_string(i)), total / 2 / 128, ++seed);
  }
  for (int d = 0; d < 64; ++d) {
    fs::path dir = root / "Small" / ("d" + std::to_string(d));
    fs::create_directories(dir);
    for (int i = 0; i < 64; ++i) write(dir / ("s" + std::to_string(i)), total / 16 / 4096, ++seed);
    for (int i = 0; i < 256; ++i)
      write(dir / ("t" + std::to_string(i)), total / 16 / 16384, ++seed);
  }
}

// Runs rsync as the job does, its listing going to `listing`, in a session
// of its own like the job's copy (the scheduler shares the machine out per
// session, so on a busy machine that alone would favour one side); the time
// in ms.
double timeRsync(const std::string& rsync, const std::vector<std::string>& args,
                 const fs::path& listing) {
  const auto start = Clock::now();
  auto child = brimvale::spawn({.path = rsync,
                                .args = args,
                                .stdoutTo = brimvale::OutputTarget::truncate(listing.string()),
                                .grouping = brimvale::Grouping::kNewSession});
  if (!child) fail("rsync did not start: " + child.error().message());
  int status = 0;
  while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
  }
  const double ms = msSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("rsync failed; see " + listing.string());
  return ms;
}

std::string phaseOf(const fs::path& json) {
  auto text = brimvale::readFile(json);
  if (!text) return {};
  auto at = text->find("\"phase\": \"");
  if (at == std::string::npos) return {};
  at += 10;
  return text->substr(at, text->find('"', at) - at);
}

// utime + stime of a process in clock ticks; 0 when it is gone.
long cpuTicks(pid_t pid) {
  auto stat = brimvale::readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  std::istringstream in(stat->substr(stat->rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

struct JobTimes {
  double startMs = 0;  // transfer-start itself: preflight, measuring, launching
  double copyMs = 0;
  double verifyMs = 0;
  double supervisorCpuPercent = 0;
};

// Starts a backup and follows its phases to `done` through the store's
// replacements in `state`.
JobTimes runJob(const fs::path& home, const fs::path& state, const fs::path& dst) {
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0 || inotify_add_watch(watch, state.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
    fail("cannot watch " + state.string());
  const auto start = Clock::now();
  brimvale::ProcessResult r =
      brimvale::runProcess({.path = BRIM_VALE_PATH,
                            .args = {"transfer-start", "backup", dst.string(), "1"},
                            .envAdditions = {{"HOME", home.string()}}});
  if (!r.succeeded()) fail("transfer-start: " + r.out + r.err);
  JobTimes t;
  t.startMs = msSince(start);
  pid_t supervisor = 0;
  long ticks = 0;
  for (std::string phase; (phase = phaseOf(state / "transfer-job.json")) != "done";) {
    if (phase == "failed") fail("the backup failed; see " + state.string());
    if (!supervisor) {
      if (auto pid = brimvale::readFile(state / "transfer.pid"))
        supervisor = static_cast<pid_t>(std::atol(pid->c_str()));
    }
    if (supervisor && t.copyMs == 0) ticks = std::max(ticks, cpuTicks(supervisor));
    if (phase == "verifying" && t.copyMs == 0) t.copyMs = msSince(start);
    pollfd p{watch, POLLIN, 0};
    poll(&p, 1, 250);  // the timeout only guards against a missed event
    char events[4096];
    while (read(watch, events, sizeof events) > 0) {
    }
  }
  const double total = msSince(start);
  close(watch);
  if (t.copyMs == 0) fail("the backup was never seen verifying");
  t.verifyMs = total - t.copyMs;
  t.supervisorCpuPercent =
      100.0 * static_cast<double>(ticks) / sysconf(_SC_CLK_TCK) / (t.copyMs / 1000.0);
  return t;
}

void compareOn(std::uint64_t mib, int runs, const fs::path& src, const fs::path& dst,
               const fs::path& home) {
  const std::string name =
      brimvale::workingFolderName(brimvale::platform::makeHostPlatform().host->computerName());
  const fs::path working = src / name;
  const fs::path copy = dst / name;
  const fs::path state = home / ".brimvale" / "state";
  const fs::path listing = home / "listing.log";
  fs::remove_all(working);
  std::fprintf(stderr, "building a %llu MiB tree...\n", static_cast<unsigned long long>(mib));
  makeTree(working, mib);
  std::ofstream(working / ".hollin-managed") << "marker_version=1\n";
  const std::string rsync = brimvale::findExecutable("rsync");
  const auto copyArgs = brimvale::service::copyArguments(working.string(), copy.string());
  const auto checkArgs = brimvale::service::checkArguments(working.string(), copy.string());

  std::vector<double> bare, peerCopy, peerCheck, jobStart, jobCopy, jobCheck, jobWhole, cpu;
  for (int run = 0; run < runs; ++run) {
    bare.push_back(
        timeRsync(rsync, {"-aHEX", working.string() + "/", copy.string() + "/"}, listing));
    fs::remove_all(copy);
    peerCopy.push_back(timeRsync(rsync, copyArgs, listing));
    peerCheck.push_back(timeRsync(rsync, checkArgs, listing));
    auto said = brimvale::readFile(listing);
    if (!said || !brimvale::service::checksumPassIsClean(*said))
      fail("rsync's own copy did not pass the checksum check; see " + listing.string());
    fs::remove_all(copy);
    const JobTimes job = runJob(home, state, dst);
    jobStart.push_back(job.startMs);
    jobCopy.push_back(job.copyMs);
    jobCheck.push_back(job.verifyMs);
    jobWhole.push_back(job.copyMs + job.verifyMs);
    cpu.push_back(job.supervisorCpuPercent);
    fs::remove_all(copy);
  }
  using brimvale::bench::reportRatio;
  std::printf("-- %llu MiB tree, %d runs\n", static_cast<unsigned long long>(mib), runs);
  std::printf("copy: the job's copy phase (from transfer-start) vs rsync");
  for (const auto& a : copyArgs) std::printf(" %s", a.c_str());
  std::printf("\n");
  reportRatio("job copy", jobCopy, "rsync same options", peerCopy, 1.05);
  std::printf("of which transfer-start itself: median %.1f ms\n",
              brimvale::bench::median(jobStart));
  std::printf("verification: the job's checking phase vs the same dry run alone\n");
  reportRatio("job verification", jobCheck, "rsync --checksum", peerCheck, 1.05);
  std::printf("whole job vs bare rsync -aHEX\n");
  reportRatio("job copy + verify", jobWhole, "bare rsync -aHEX", bare, std::nullopt);
  std::printf("supervisor CPU while copying: %.2f %% of one core (median; target < 1 %%)\n",
              brimvale::bench::median(cpu));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::vector<std::uint64_t> sizes;
  std::stringstream list(argc > 2 ? argv[2] : "1024,2048");
  for (std::string item; std::getline(list, item, ',');)
    sizes.push_back(std::max(16, std::atoi(item.c_str())));
  const std::uint64_t largest = *std::max_element(sizes.begin(), sizes.end());
  // Room for the largest tree with the headroom the job asks for, and for
  // its 20,480 small files taking a whole page each.
  const std::string size = std::to_string(largest * 5 / 4 + 192) + "m";
  const fs::path src = brimvale::bench::scratchFolder("src");
  const fs::path dst = brimvale::bench::scratchFolder("dst");
  if (!mountTmpfs(src, size) || !mountTmpfs(dst, size))
    fail("cannot mount tmpfs drives; run inside scripts/in-private-mounts");
  const fs::path home = brimvale::bench::scratchFolder("transfer");
  fs::create_directories(home / ".brimvale" / "state");
  std::ofstream(home / ".brimvale" / "brim-vale.conf") << "NVMe=\"" << src.string() << "\"\n";
  for (std::uint64_t mib : sizes) compareOn(mib, runs, src, dst, home);
  umount2(src.c_str(), MNT_DETACH);
  umount2(dst.c_str(), MNT_DETACH);
  fs::remove_all(home);
  return 0;
}
