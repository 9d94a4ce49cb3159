// The whole fault matrix: every row against every fault at every moment
// (kill moments sampled with --sample N), printed as a table of bytes lost
// and false successes per cell. Run inside scripts/in-private-mounts.
// Usage: fault_matrix [--sample N] [--row TEXT] [--fault NAME]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "fault_matrix.h"

using namespace brimvale::faults;

int main(int argc, char** argv) {
  std::size_t sample = 0;  // 0: every moment
  std::string only, onlyFault;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: fault_matrix [--sample N] [--row TEXT] [--fault NAME]\n"
          "Runs every row of the fault matrix against every fault; run it inside "
          "scripts/in-private-mounts.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--sample") == 0 && i + 1 < argc) sample = std::stoul(argv[++i]);
    if (std::strcmp(argv[i], "--row") == 0 && i + 1 < argc) only = argv[++i];
    if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc) onlyFault = argv[++i];
  }
  const auto started = std::chrono::steady_clock::now();
  int cells = 0, na = 0, bad = 0;
  std::uintmax_t lost = 0;
  int falseSuccesses = 0;
  std::printf("%-34s", "command");
  for (const auto& f : kFaultNames) std::printf(" %-13s", std::string(f.raw).c_str());
  std::printf("\n");
  std::vector<std::string> notes, unreached;
  for (const Row& row : allRows()) {
    if (!only.empty() && row.name.find(only) == std::string::npos) continue;
    std::printf("%-34s", row.name.c_str());
    for (const auto& f : kFaultNames) {
      if (!onlyFault.empty() && f.raw != onlyFault) {
        std::printf(" %-13s", "-");
        continue;
      }
      const bool timed = f.value == Fault::kWriter || f.value == Fault::kKillRerun ||
                         f.value == Fault::kUnplugged || f.value == Fault::kPlantedLink;
      std::vector<std::string> moments{""};
      if (timed && !row.moments.empty()) moments = row.moments;
      if (sample && moments.size() > sample) {
        std::vector<std::string> picked;
        for (std::size_t i = 0; i < sample; ++i)
          picked.push_back(moments[i * moments.size() / sample]);
        moments = picked;
      }
      std::uintmax_t cellLost = 0;
      int cellFalse = 0, cellRuns = 0;
      bool applicable = true;
      for (const std::string& moment : moments) {
        const CellResult r = runCell(row, f.value, moment);
        if (!r.applicable) {
          applicable = false;
          notes.push_back(row.name + " / " + std::string(f.raw) + ": n/a, " + r.note);
          break;
        }
        ++cellRuns;
        cellLost += r.bytesLost;
        cellFalse += r.falseSuccesses;
        if (r.bytesLost || r.falseSuccesses)
          notes.push_back(row.name + " / " + std::string(f.raw) + " @" + moment + ": " + r.note);
        if (r.unreached) unreached.push_back(row.name + " / " + std::string(f.raw) + " @" + moment);
      }
      if (!applicable) {
        ++na;
        std::printf(" %-13s", "n/a");
      } else {
        ++cells;
        lost += cellLost;
        falseSuccesses += cellFalse;
        if (cellLost || cellFalse) ++bad;
        const std::string text = std::to_string(cellLost) + "B/" + std::to_string(cellFalse) +
                                 " x" + std::to_string(cellRuns);
        std::printf(" %-13s", text.c_str());
      }
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  const auto minutes =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 60;
  std::printf(
      "\n%d cells (+%d n/a), %d with a loss or a false success; %ju bytes lost, %d false "
      "successes; %.1f min\n",
      cells, na, bad, lost, falseSuccesses, minutes);
  for (const auto& n : notes) std::printf("  %s\n", n.c_str());
  if (!unreached.empty()) {
    std::printf("%zu runs ended before their moment, so the fault struck nothing:\n",
                unreached.size());
    for (const auto& n : unreached) std::printf("  %s\n", n.c_str());
  }
  return bad == 0 ? 0 : 1;
}
