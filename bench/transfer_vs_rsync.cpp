// A whole drive transfer job (`transfer-start backup`, detached supervisor,
// progress folding, checksum verification) against a bare `rsync -aHEX` of
// the same 2 GiB tree between two tmpfs drives, alternating in one run. The
// copy phase and the verification pass are reported separately, as ratios of
// medians, with the supervisor's own CPU use while copying (/proc/{pid}/stat).
//
// Usage: transfer_vs_rsync [runs] [MiB]   (default 3 runs of 2048 MiB; run
// inside scripts/in-private-mounts)
#include <sys/mount.h>
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
#include <thread>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool mountTmpfs(const fs::path& at, const std::string& size) {
  std::error_code ec;
  fs::create_directories(at, ec);
  return mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
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

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::uint64_t mib = argc > 2 ? std::max(16, std::atoi(argv[2])) : 2048;
  const std::string size = std::to_string(mib * 5 / 4 + 64) + "m";
  const fs::path src = "/Volumes/bench-src-" + std::to_string(getpid());
  const fs::path dst = "/Volumes/bench-dst-" + std::to_string(getpid());
  if (!mountTmpfs(src, size) || !mountTmpfs(dst, size + "")) {
    std::fprintf(stderr, "cannot mount tmpfs drives; run inside scripts/in-private-mounts\n");
    return 1;
  }
  char tmpl[] = "/tmp/brimvale-bench-XXXXXX";
  const fs::path home = mkdtemp(tmpl);
  const std::string name =
      brimvale::workingFolderName(brimvale::platform::makeHostPlatform().host->computerName());
  const fs::path working = src / name;
  std::fprintf(stderr, "building a %llu MiB tree...\n", static_cast<unsigned long long>(mib));
  makeTree(working, mib);
  std::ofstream(working / ".hollin-managed") << "marker_version=1\n";
  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf") << "NVMe=\"" << src.string() << "\"\n";
  const fs::path state = home / ".brimvale" / "state";
  const std::string rsync = brimvale::findExecutable("rsync");

  std::vector<double> bare, copy, verify, whole, cpuPercent;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    brimvale::ProcessResult r = brimvale::runProcess(
        {.path = rsync, .args = {"-aHEX", working.string() + "/", (dst / "bare").string() + "/"}});
    bare.push_back(secondsSince(start));
    if (!r.succeeded()) return std::fprintf(stderr, "rsync: %s\n", r.err.c_str()), 1;
    fs::remove_all(dst / "bare");

    start = Clock::now();
    r = brimvale::runProcess({.path = BRIM_VALE_PATH,
                              .args = {"transfer-start", "backup", dst.string(), "1"},
                              .envAdditions = {{"HOME", home.string()}}});
    if (!r.succeeded())
      return std::fprintf(stderr, "start: %s%s\n", r.out.c_str(), r.err.c_str()), 1;
    pid_t supervisor = 0;
    long ticks = 0;
    double copied = 0;
    std::string phase;
    while ((phase = phaseOf(state / "transfer-job.json")) != "done") {
      if (phase == "failed") return std::fprintf(stderr, "transfer failed\n"), 1;
      if (phase == "copying") {
        if (!supervisor) {
          auto pid = brimvale::readFile(state / "transfer.pid");
          if (pid) supervisor = static_cast<pid_t>(std::atol(pid->c_str()));
        }
        if (supervisor) ticks = std::max(ticks, cpuTicks(supervisor));
      } else if (phase == "verifying" && copied == 0) {
        copied = secondsSince(start);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double total = secondsSince(start);
    if (copied == 0) copied = total;
    copy.push_back(copied);
    whole.push_back(total);
    verify.push_back(total - copied);
    cpuPercent.push_back(100.0 * static_cast<double>(ticks) / sysconf(_SC_CLK_TCK) / copied);
    fs::remove_all(dst / name);
  }
  const double b = median(bare), c = median(copy), v = median(verify), w = median(whole);
  std::printf("tree                      %llu MiB, %d runs\n", static_cast<unsigned long long>(mib),
              runs);
  std::printf("bare rsync -aHEX          %.2f s (median)\n", b);
  std::printf("job copy phase            %.2f s  ratio %.3f (target <= 1.15)\n", c, c / b);
  std::printf("job verification pass     %.2f s  ratio %.3f of the bare copy\n", v, v / b);
  std::printf("job total incl. verify    %.2f s  ratio %.3f\n", w, w / b);
  std::printf("supervisor CPU (copying)  %.2f %% of one core (target < 1 %%)\n",
              median(cpuPercent));
  umount2(src.c_str(), MNT_DETACH);
  umount2(dst.c_str(), MNT_DETACH);
  fs::remove_all(home);
  return 0;
}
