// The long form of the race test: two rule runs (relocate-now beside
// relocate-now, then beside free-space) started together, trial after trial,
// archiving one folder of old files to a tmpfs drive; then rollback of the
// last batch beside relocate-now. Counts the files before and after each
// trial, every "moved" line whose target does not exist, and every moved item
// left on the drive without its undo row.
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
#include <utility>
#include <vector>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"

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

ProcessResult run(const fs::path& home, const std::vector<std::string>& args) {
  return brimvale::runProcess({.path = BRIM_VALE_PATH,
                               .args = args,
                               .envAdditions = {{"HOME", home.string()}},
                               .deadline = std::chrono::minutes(2)});
}

std::vector<fs::path> movedTargets(const std::string& out) {
  static const std::regex kMoved(R"(moved \([a-z_]+\): .* -> (.*) \([0-9]* bytes\))");
  std::vector<fs::path> targets;
  for (std::sregex_iterator it(out.begin(), out.end(), kMoved), end; it != end; ++it) {
    targets.emplace_back((*it)[1].str());
  }
  return targets;
}

std::size_t falseMoves(const std::string& out) {
  std::size_t count = 0;
  for (const auto& target : movedTargets(out)) {
    if (!fs::exists(fs::symlink_status(target))) ++count;
  }
  return count;
}

// Items `out` reports moved that are still on the drive with no undo row in
// the last batch file.
std::size_t undoRowsLost(const fs::path& home, const std::string& out) {
  std::set<std::string> undoable;
  const std::string batch =
      brimvale::readFile(home / ".brimvale" / "state" / "last-batch.tsv").value_or("");
  for (std::string_view line : brimvale::splitLines(batch)) {
    std::vector<std::string> fields = brimvale::splitTsv(line);
    if (fields.size() >= 3 && fields[0] == "move")
      undoable.insert(brimvale::unescapedLineField(fields[2]));
  }
  std::size_t lost = 0;
  for (const auto& target : movedTargets(out)) {
    if (fs::exists(fs::symlink_status(target)) && !undoable.contains(target.string())) ++lost;
  }
  return lost;
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const fs::path home = brimvale::bench::scratchFolder("race");
  const fs::path drive = brimvale::bench::scratchFolder("race");
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
  if (!run(home, {"recover"}).succeeded()) {
    std::fprintf(stderr, "recover failed\n");
    return 1;
  }
  const fs::path downloads = home / "Downloads";
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 40);
  auto addFiles = [&](const std::string& round, int trial) {
    fs::create_directories(downloads);
    for (int i = 0; i < kFiles; ++i) {
      const fs::path file = downloads / (round + " file " + std::to_string(i));
      std::ofstream(file) << round << " trial " << trial << " file " << i;
      fs::last_write_time(file, old);
    }
  };
  auto everything = [&] {
    auto contents = contentsUnder(downloads);
    for (const auto& c : contentsUnder(drive)) contents.insert(c);
    return contents;
  };
  std::size_t lost = 0;
  std::size_t reportedButMissing = 0;
  std::size_t rowsLost = 0;
  std::size_t refused = 0;
  auto race = [&](const std::vector<std::string>& first, const std::vector<std::string>& second) {
    const auto before = everything();
    std::latch start(2);
    ProcessResult a;
    ProcessResult b;
    std::thread ta([&] {
      start.arrive_and_wait();
      a = run(home, first);
    });
    std::thread tb([&] {
      start.arrive_and_wait();
      b = run(home, second);
    });
    ta.join();
    tb.join();
    const auto after = everything();
    for (const auto& c : before) lost += after.count(c) == 0 ? 1 : 0;
    refused += (a.exitCode != 0) + (b.exitCode != 0);
    return std::pair{a, b};
  };
  for (const char* other : {"relocate-now", "free-space"}) {
    for (int trial = 0; trial < trials; ++trial) {
      addFiles(other, trial);
      const auto [a, b] = race({"relocate-now"}, {other});
      reportedButMissing += falseMoves(a.out) + falseMoves(b.out);
    }
    std::printf("relocate-now beside %s: %d trials, %d files each\n", other, trials, kFiles);
  }
  for (int trial = 0; trial < trials; ++trial) {
    addFiles("undone", trial);
    if (!run(home, {"relocate-now"}).succeeded()) {
      std::fprintf(stderr, "relocate-now failed before the rollback race\n");
      return 1;
    }
    addFiles("new", trial);
    // Only this pair is judged by the batch (a rule run that goes second
    // rightly starts a new one), and not by its targets, which a rollback
    // that goes second moves back.
    rowsLost += undoRowsLost(home, race({"rollback", "--yes"}, {"relocate-now"}).second.out);
  }
  std::printf("rollback beside relocate-now: %d trials, %d files in each batch\n", trials, kFiles);
  std::printf(
      "files lost: %zu\nmoved lines naming a missing target: %zu\nmoved items on the drive "
      "without an undo row: %zu\nruns that found the other running and refused: %zu\n",
      lost, reportedButMissing, rowsLost, refused);
  umount2(drive.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(drive, ec);
  fs::remove_all(home, ec);
  return lost == 0 && reportedButMissing == 0 && rowsLost == 0 ? 0 : 1;
}
