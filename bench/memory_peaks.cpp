// Peak resident memory (VmHWM) of two long-lived runs, absolute figures: a
// `brimvale move` of a folder of many empty files (the process itself; its
// copy child is a separate process and not counted) and `brim-vale watch`
// over many ticks, sampled early and late so growth per tick shows.
// Usage: memory_peaks [files [ticks]]   (defaults 1000000 and 600)
// Needs the private mount namespace bench/run provides (a tmpfs of its own).
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "common/base/spawn.h"

namespace fs = std::filesystem;
using namespace brimvale;

namespace {

// VmHWM of a running process in KiB; 0 once it has gone.
long peakKib(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
  }
  return 0;
}

int startOrDie(const SpawnRequest& request) {
  auto started = spawn(request);
  if (!started) {
    std::fprintf(stderr, "could not start %s: %s\n", request.path.c_str(),
                 started.error().message().c_str());
    std::exit(1);
  }
  return started->pid;
}

// Folders of 1,000 empty files each.
void makeEmptyFiles(const fs::path& root, long files) {
  for (long i = 0; i < files; ++i) {
    const fs::path folder = root / ("d" + std::to_string(i / 1000));
    if (i % 1000 == 0) fs::create_directories(folder);
    const int fd =
        ::open((folder / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::perror("create");
      std::exit(1);
    }
    ::close(fd);
  }
}

void moveSeries(const fs::path& base, long files) {
  const fs::path home = base / "home";
  const fs::path item = home / "Many";
  fs::create_directories(home / ".brimvale" / "state");
  // The drive: a tmpfs of its own, so the folder is not already on it.
  fs::create_directories(base / "drive");
  if (::mount("tmpfs", (base / "drive").c_str(), "tmpfs", 0, "size=2g,nr_inodes=2m") != 0) {
    std::perror("mount tmpfs");
    std::exit(1);
  }
  (void)writeFileAtomically(home / ".brimvale" / "brim-vale.conf",
                            "NVMe=\"" + (base / "drive").string() + "\"\n");
  (void)writeFileAtomically(home / ".brimvale" / "state" / "user-defaults.json",
                            "{\"brimvale.mover.recentWriteGuardEnabled\": false}");
  makeEmptyFiles(item, files);
  const auto start = std::chrono::steady_clock::now();
  const int pid = startOrDie({.path = BRIMVALE_PATH,
                              .args = {"move", item.string(), "--verify", "fast", "--yes"},
                              .envAdditions = {{"HOME", home.string()}},
                              .stderrTo = OutputTarget::truncate((base / "move.err").string())});
  // The high-water mark only rises, so the last reading before the process
  // ends is its peak up to a few milliseconds.
  long peak = 0;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    peak = std::max(peak, peakKib(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream err(base / "move.err");
    std::fprintf(stderr, "brimvale move failed (status %d):\n%s\n", status,
                 std::string(std::istreambuf_iterator<char>(err), {}).c_str());
    std::exit(1);
  }
  std::printf("brimvale move, %ld empty files: VmHWM %.1f MiB in %.1f s (target < 64 MiB)\n", files,
              peak / 1024.0, secs);
  std::fflush(stdout);
}

void watchSeries(const fs::path& base, long ticks) {
  const fs::path home = base / "watch-home";
  fs::create_directories(home / ".brimvale" / "state");
  std::ofstream(home / ".brimvale" / "brim-vale.conf")
      << "NVMe=\"/nonexistent/NVMe\"\nWATCH_INTERVAL_SECS=0\n";
  // Every tick ends by saving the status snapshot in place: one rename each.
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(watch, (home / ".brimvale" / "state").c_str(), IN_MOVED_TO);
  const int pid = startOrDie(
      {.path = BRIM_VALE_PATH, .args = {"watch"}, .envAdditions = {{"HOME", home.string()}}});
  long seen = 0, early = 0, late = 0;
  alignas(inotify_event) char buf[1 << 14];
  while (seen < ticks) {
    const long n = ::read(watch, buf, sizeof buf);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<long>(sizeof(inotify_event) + e->len);
      if (e->len && std::strcmp(e->name, "status.json") == 0) ++seen;
    }
    if (!early && seen >= 10) early = peakKib(pid);
  }
  late = peakKib(pid);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(watch);
  std::printf(
      "brim-vale watch: VmHWM %.1f MiB after 10 ticks, %.1f MiB after %ld ticks "
      "(target: flat)\n",
      early / 1024.0, late / 1024.0, seen);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::max(1000L, std::atol(argv[1])) : 1'000'000;
  const long ticks = argc > 2 ? std::max(20L, std::atol(argv[2])) : 600;
  const fs::path base = brimvale::bench::scratchFolder("memory");
  fs::create_directories(base);
  if (::mount("tmpfs", base.c_str(), "tmpfs", 0, "size=4g,nr_inodes=4m") != 0) {
    std::perror("mount tmpfs");
    return 1;
  }
  watchSeries(base, ticks);
  moveSeries(base, files);
  ::umount2((base / "drive").c_str(), MNT_DETACH);
  ::umount2(base.c_str(), MNT_DETACH);
  return 0;
}
