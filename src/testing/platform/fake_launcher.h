// Tests only: a process launcher that spawns nothing. It records each launch,
// invents pids that count as running until the test ends them, and records
// the signals sent (a terminating one ends the fake process). Runs are
// recorded and answered as the test says (for real by default, so stand-in
// tools still work); detached work runs in the test's own process.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace brimvale::platform::testing {

struct FakeLaunch {
  SpawnRequest request;
  int pid = -1;
};

inline constexpr std::uint32_t kFakeUser = 1000;

struct FakeProcesses {
  std::vector<FakeLaunch> launches;
  std::vector<std::pair<int, int>> signals;  // {pid, signal} in the order sent
  std::map<int, std::string> running;        // pid -> the program it runs
  std::map<int, int> exitCodes;              // of fake processes that ended
  std::set<int> ignoresTerm;                 // pids SIGTERM does not end
  // Who a running fake process is; unset: started at "t<pid>" by kFakeUser.
  std::map<int, ProcessIdentity> identities;
  std::optional<Error> spawnFailure;    // when set, every spawn fails with it
  std::vector<ProcessInvocation> runs;  // every run, in order
  ProcessRunner answer = runProcess;    // what each run gives
  int nextPid = 40'000;

  // A process the test says runs `program` (a supervisor, a copy, a stranger).
  int start(const std::string& program) {
    running[nextPid] = program;
    return nextPid++;
  }
  void end(int pid, int exitCode = 0) {
    running.erase(pid);
    exitCodes[pid] = exitCode;
  }
  [[nodiscard]] std::vector<int> signalsTo(int pid) const {
    std::vector<int> sent;
    for (const auto& [p, sig] : signals) {
      if (p == pid) sent.push_back(sig);
    }
    return sent;
  }
};

class FakeLauncher : public ProcessLauncher {
 public:
  explicit FakeLauncher(FakeProcesses& state) : s_(state) {}

  ProcessResult run(const ProcessInvocation& invocation) override {
    s_.runs.push_back(invocation);
    return s_.answer(invocation);
  }
  Result<std::string> startDetached(const DetachedWork& work) override {
    std::string reported;
    work([&reported](std::string_view text) { reported = text; });
    return reported;
  }
  Result<SpawnedProcess> spawn(const SpawnRequest& request) override {
    if (s_.spawnFailure) return std::unexpected(*s_.spawnFailure);
    const int pid = s_.start(request.path);
    s_.launches.push_back({request, pid});
    return SpawnedProcess{.pid = pid};
  }
  bool isAlive(int pid) override { return s_.running.contains(pid); }
  bool runsProgram(int pid, const std::string& program) override {
    auto it = s_.running.find(pid);
    return it != s_.running.end() && it->second == program;
  }
  std::optional<ProcessIdentity> identity(int pid) override {
    if (!isAlive(pid)) return std::nullopt;
    auto it = s_.identities.find(pid);
    return it != s_.identities.end() ? it->second
                                     : ProcessIdentity{"t" + std::to_string(pid), kFakeUser};
  }
  bool signal(int pid, int sig) override {
    s_.signals.emplace_back(pid, sig);
    if (!isAlive(pid)) return false;
    const bool ends =
        sig == SIGKILL || ((sig == SIGTERM || sig == SIGINT) && !s_.ignoresTerm.contains(pid));
    if (ends) s_.end(pid, -1);
    return true;
  }
  std::optional<int> exitCodeIfEnded(int pid) override {
    if (isAlive(pid)) return std::nullopt;
    auto it = s_.exitCodes.find(pid);
    return it == s_.exitCodes.end() ? -1 : it->second;
  }

 private:
  FakeProcesses& s_;
};

}  // namespace brimvale::platform::testing
