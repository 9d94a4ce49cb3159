// Tests only: waiting for a condition, and finding the background service's
// process (by the pid the application's supervision records) and whether it lives.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "common/base/file_io.h"
#include "testing/base/temp_home.h"

namespace brimvale::e2e {

// Polls `done` every `every` until it holds or `limit` passes; its last answer.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::chrono::milliseconds every = std::chrono::milliseconds(100)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(every);
  }
  return done();
}

// The pid in state/brim-vale.pid, if any.
inline std::optional<int> servicePid(const brimvale::testing::TempHome& home) {
  auto text = readFile(home.state() / "brim-vale.pid");
  if (!text) return std::nullopt;
  return std::stoi(*text);
}

// True while `pid` runs (a zombie has ended).
inline bool alive(int pid) {
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  return stat && stat->substr(stat->rfind(')') + 2, 1) != "Z";
}

}  // namespace brimvale::e2e
