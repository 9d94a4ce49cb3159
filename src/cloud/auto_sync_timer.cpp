#include "cloud/auto_sync_timer.h"

#include <algorithm>

namespace brimvale::cloud {

AutoSyncTimer::AutoSyncTimer(platform::Scheduler& scheduler, AutoSyncManager& manager,
                             std::chrono::milliseconds interval)
    : scheduler_(scheduler), manager_(manager), interval_(interval) {}

AutoSyncTimer::~AutoSyncTimer() { stop(); }

void AutoSyncTimer::start() {
  if (timer_) return;
  timer_ = scheduler_.scheduleRepeating(
      "auto-sync.timer", interval_,
      std::min<std::chrono::milliseconds>(std::chrono::seconds(10), interval_ / 2),
      [this] { fire(); });
}

void AutoSyncTimer::stop() {
  if (!timer_) return;
  scheduler_.cancel(*timer_);
  timer_.reset();
}

void AutoSyncTimer::fire() {
  if (*inFlight_) return;
  *inFlight_ = true;
  manager_.tick(scheduler_,
                [inFlight = inFlight_](std::vector<AutoSyncRun>) { *inFlight = false; });
}

}  // namespace brimvale::cloud
