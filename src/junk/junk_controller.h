// Runs the board's background parts while the board is enabled on this
// machine: the clipboard watcher (while JunkAutoWatch is on too), the hot
// keys, and the expiry sweep at start and then hourly. Settings are read
// again at each refresh, so a change made by `brimvale junk settings` in
// another process takes effect at the next one.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "junk/junk_clipboard_watcher.h"
#include "junk/junk_hot_keys.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"

namespace brimvale::junk {

inline constexpr std::chrono::milliseconds kSweepInterval{3600 * 1000};
inline constexpr std::chrono::milliseconds kSweepTolerance{600 * 1000};

class JunkController {
 public:
  // Everything passed in must outlive the controller; `watcher` and
  // `hotKeys` are null where there is no desktop session to watch. `sweep` runs the store's expiry
  // sweep with the current time.
  JunkController(platform::UserDefaults& defaults, platform::Scheduler& loop,
                 JunkClipboardWatcher* watcher, JunkHotKeys* hotKeys, std::function<void()> sweep);
  ~JunkController();
  JunkController(const JunkController&) = delete;
  JunkController& operator=(const JunkController&) = delete;

  // Starts or stops the parts to match the settings now.
  void refresh();
  // Stops everything, whatever the settings say.
  void stop();
  [[nodiscard]] bool running() const { return sweepTimer_.has_value(); }

 private:
  platform::UserDefaults& defaults_;
  platform::Scheduler& loop_;
  JunkClipboardWatcher* watcher_;
  JunkHotKeys* hotKeys_;
  std::function<void()> sweep_;
  std::optional<platform::Scheduler::TimerId> sweepTimer_;
};

}  // namespace brimvale::junk
