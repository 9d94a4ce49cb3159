// `brimvale stop`: ends the running application (`brimvale run`, found by the
// mark it holds for its whole life) and then the background service, saying
// plainly what it stopped. Running it again finds nothing and says so.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "common/base/error.h"
#include "common/base/file_lock.h"
#include "common/state/paths.h"
#include "platform/service_manager.h"

namespace brimvale::app {

// Held by `brimvale run` while it runs: an exclusive lock on
// state/brimvale-run.lock that records its pid. The system releases it
// however the process ends, so a held mark always means a live application.
class RunningAppMark {
 public:
  // Nothing while another `brimvale run` holds the mark or the state folder
  // cannot hold it; the application then runs unmarked, as before.
  [[nodiscard]] static std::optional<RunningAppMark> take(const StatePaths& paths);

 private:
  explicit RunningAppMark(FileLock lock) : lock_(std::move(lock)) {}
  FileLock lock_;
};

struct StopLimits {
  // How long the application gets to quit (it unloads the service itself
  // within 5 s) before it is killed.
  std::chrono::milliseconds appQuit{10000};
  std::chrono::milliseconds serviceStop{10000};
};

// Ends the application, then the service (through `services`, whoever
// started it). The sentences saying what was stopped, none when nothing ran.
// An error's detail is a whole sentence naming what still runs and what to do.
[[nodiscard]] Result<std::vector<std::string>> stopBrimvale(const StatePaths& paths,
                                                            platform::ServiceManager& services,
                                                            const StopLimits& limits = {});

// The command: prints what was stopped (or that nothing ran); 0, or 1 when
// something would not stop.
[[nodiscard]] int stopCommand(const StatePaths& paths, platform::ServiceManager& services,
                              std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
