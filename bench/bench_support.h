// What every comparison benchmark shares: timing one whole program run and
// the median of a series.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/process.h"

namespace brimvale::bench {

// Wall time of one run in milliseconds; a failed run ends the benchmark,
// since its time would mean nothing.
inline double timeOnce(const ProcessInvocation& invocation) {
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = runProcess(invocation);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!r.succeeded()) {
    std::fprintf(stderr, "%s failed: %s\n%s%s", invocation.path.c_str(), r.describe().c_str(),
                 r.out.c_str(), r.err.c_str());
    std::exit(1);
  }
  return ms;
}

// A fresh folder under /tmp for a benchmark's trees and drives to be mounted
// on: nothing is made among the machine's own folders.
inline std::filesystem::path scratchFolder(const std::string& name) {
  std::string path = "/tmp/brimvale-bench-" + name + "-XXXXXX";
  if (!mkdtemp(path.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return path;
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Prints both medians and their ratio against the target (without one, the
// ratio is only reported).
inline void reportRatio(const char* ours, const std::vector<double>& a, const char* peer,
                        const std::vector<double>& b, std::optional<double> target) {
  const double ma = median(a), mb = median(b);
  std::printf("runs: %zu alternating\n", a.size());
  auto samples = [](const char* name, const std::vector<double>& v) {
    std::printf("%-20s", name);
    for (double x : v) std::printf(" %.0f", x);
    std::printf(" ms\n");
  };
  samples(ours, a);
  samples(peer, b);
  std::printf("%-20s median %.1f ms\n", ours, ma);
  std::printf("%-20s median %.1f ms\n", peer, mb);
  if (target) {
    std::printf("ratio: %.3fx (target <= %.2fx)\n", ma / mb, *target);
  } else {
    std::printf("ratio: %.3fx (reported, no target)\n", ma / mb);
  }
}

}  // namespace brimvale::bench
