#include "cloud/auto_sync_timer.h"

namespace brimvale::cloud {

AutoSyncTimer::AutoSyncTimer(platform::Scheduler& scheduler, AutoSyncManager& manager)
    : scheduler_(scheduler), manager_(manager) {}

AutoSyncTimer::~AutoSyncTimer() { stop(); }

void AutoSyncTimer::start() {
  if (timer_) return;
  timer_ = scheduler_.scheduleRepeating("auto-sync.timer", kInterval, std::chrono::seconds(10),
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
