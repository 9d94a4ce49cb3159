#include "app/cli/stop_command.h"

#include <signal.h>

#include <ostream>
#include <thread>

#include "common/base/file_calls.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollStep{50};
// After SIGKILL the system releases the mark at once; this only covers a slow reap.
constexpr std::chrono::milliseconds kAfterKill{3000};

fs::path markFile(const StatePaths& paths) { return paths.state / "brimvale-run.lock"; }

// True once the mark is free: the application holding it has ended.
bool waitForMarkFree(FileLock& lock, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (true) {
    if (lock.tryLock().value_or(false)) {
      lock.unlock();
      return true;
    }
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

// Ends the application holding the mark; its pid, nothing when none runs.
Result<std::optional<long>> stopApplication(const StatePaths& paths,
                                            std::chrono::milliseconds limit) {
  if (!pathExists(markFile(paths)).value_or(false)) return std::nullopt;
  auto lock = FileLock::open(markFile(paths));
  if (!lock) return std::nullopt;  // no mark can be held where none can be opened
  if (lock->tryLock().value_or(false)) return std::nullopt;
  const long pid = lock->holder();
  // The holder records its pid just after taking the mark; until then there is nobody to ask.
  if (pid > 1) kill(static_cast<pid_t>(pid), SIGTERM);
  if (waitForMarkFree(*lock, limit)) return pid;
  if (pid > 1) kill(static_cast<pid_t>(pid), SIGKILL);
  if (waitForMarkFree(*lock, kAfterKill)) return pid;
  return fail(Errc::kTimedOut, "Brimvale's application (pid " + std::to_string(pid) +
                                   ") did not stop. Your data is safe; end it with `kill -9 " +
                                   std::to_string(pid) + "` and run `brimvale stop` again.");
}

}  // namespace

std::optional<RunningAppMark> RunningAppMark::take(const StatePaths& paths) {
  if (!createDirectories(paths.state)) return std::nullopt;
  auto lock = FileLock::open(markFile(paths));
  if (!lock || !lock->tryLock().value_or(false)) return std::nullopt;
  lock->recordHolder();
  return RunningAppMark(std::move(*lock));
}

Result<std::vector<std::string>> stopBrimvale(const StatePaths& paths,
                                              platform::ServiceManager& services,
                                              const StopLimits& limits) {
  std::vector<std::string> stopped;
  auto app = stopApplication(paths, limits.appQuit);
  if (!app) return std::unexpected(app.error());
  if (*app) {
    stopped.push_back("Stopped Brimvale's application (`brimvale run`, pid " +
                      std::to_string(**app) + ").");
  }
  // Stopping what is not loaded succeeds, so this also clears a job left loaded with no process.
  const std::optional<int> pid = services.state().pid;
  if (auto unloaded = services.unload(limits.serviceStop); !unloaded) {
    const std::string which = pid ? " (pid " + std::to_string(*pid) + ")" : std::string();
    return fail(Errc::kTimedOut, "The background service" + which +
                                     " did not stop in time. Your data is safe; run `brimvale "
                                     "stop` again in a minute.");
  }
  if (pid) stopped.push_back("Stopped the background service (pid " + std::to_string(*pid) + ").");
  return stopped;
}

int stopCommand(const StatePaths& paths, platform::ServiceManager& services, std::ostream& out,
                std::ostream& err) {
  auto stopped = stopBrimvale(paths, services);
  if (!stopped) {
    err << stopped.error().detail << "\n";
    return 1;
  }
  if (stopped->empty()) {
    out << "Nothing to stop: Brimvale's application and its background service are not "
           "running.\n";
  }
  for (const auto& line : *stopped) out << line << "\n";
  return 0;
}

}  // namespace brimvale::app
