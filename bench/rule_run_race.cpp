// The long form of the race test: two rule runs (relocate-now beside
// relocate-now, then beside free-space) started together, trial after trial,
// archiving one folder of old files to a tmpfs drive. Counts the files before
// and after each trial and every "moved" line whose target does not exist.
// Needs a private mount namespace (bench/run provides one).
//
// Usage: rule_run_race [trials per pair]   (default 100)
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/process.h"

namespace fs = std::filesystem;
using brimvale::ProcessResult;

namespace {

constexpr int kFiles = 40;

std::multiset<std::string> contentsUnder(const fs::path& root) {
  std::multiset<std::string> contents;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::is_regular_file(it->symlink_status()))
      contents.insert(brimvale::readFile(it->path()).value_or(""));
  }
  return contents;
}

ProcessResult run(const fs::path& home, const std::string& command) {
  return brimvale::runProcess({.path = BRIM_VALE_PATH,
                               .args = {command},
                               .envAdditions = {{"HOME", home.string()}},
                               .deadline = std::chrono::minutes(2)});
}

std::size_t falseMoves(const std::string& out) {
  static const std::regex kMoved(R"(moved \([a-z_]+\): .* -> (.*) \([0-9]* bytes\))");
  std::size_t count = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), kMoved), end; it != end; ++it) {
    if (!fs::exists(fs::symlink_status((*it)[1].str()))) ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  char tmpl[] = "/tmp/brimvale-bench-race-XXXXXX";
  const fs::path home = mkdtemp(tmpl);
  const fs::path drive = "/Volumes/bench-race-" + std::to_string(getpid());
  fs::create_directories(drive);
  if (mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=256m,mode=0755") != 0) {
    std::fprintf(stderr, "cannot mount a tmpfs drive on %s: %s (run through bench/run)\n",
                 drive.c_str(), std::strerror(errno));
    return 1;
  }
  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf")
      << "NVMe=\"" << drive.string() << "\"\n"
      << "RULES=(\n  \"archive_old | $HOME/Downloads | Downloads-Archive | 7 | \"\n)\n";
  if (!run(home, "recover").succeeded()) {
    std::fprintf(stderr, "recover failed\n");
    return 1;
  }
  const fs::path downloads = home / "Downloads";
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 40);
  std::size_t lost = 0;
  std::size_t reportedButMissing = 0;
  std::size_t refused = 0;
  for (const char* other : {"relocate-now", "free-space"}) {
    for (int trial = 0; trial < trials; ++trial) {
      fs::create_directories(downloads);
      for (int i = 0; i < kFiles; ++i) {
        const fs::path file = downloads / ("file " + std::to_string(i));
        std::ofstream(file) << other << " trial " << trial << " file " << i;
        fs::last_write_time(file, old);
      }
      auto before = contentsUnder(home / "Downloads");
      for (const auto& c : contentsUnder(drive)) before.insert(c);
      std::latch start(2);
      ProcessResult a;
      ProcessResult b;
      std::thread ta([&] {
        start.arrive_and_wait();
        a = run(home, "relocate-now");
      });
      std::thread tb([&] {
        start.arrive_and_wait();
        b = run(home, other);
      });
      ta.join();
      tb.join();
      auto after = contentsUnder(home / "Downloads");
      for (const auto& c : contentsUnder(drive)) after.insert(c);
      for (const auto& c : before) lost += after.count(c) == 0 ? 1 : 0;
      reportedButMissing += falseMoves(a.out) + falseMoves(b.out);
      refused += (a.exitCode != 0) + (b.exitCode != 0);
    }
    std::printf("relocate-now beside %s: %d trials, %d files each\n", other, trials, kFiles);
  }
  std::printf(
      "files lost: %zu\nmoved lines naming a missing target: %zu\nruns that found the other "
      "running and refused: %zu\n",
      lost, reportedButMissing, refused);
  umount2(drive.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(drive, ec);
  fs::remove_all(home, ec);
  return lost == 0 && reportedButMissing == 0 ? 0 : 1;
}
