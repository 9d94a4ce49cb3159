// The application's hourly row of the usage history: at most one row per
// hour of the clock, measured off the loop thread, each run recorded in the
// background-job ledger under usage_history.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "common/base/timestamps.h"
#include "common/state/paths.h"
#include "platform/platform.h"
#include "platform/scheduler.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {

// How often the recorder looks whether a row is due; a row is due once the
// newest row lies in an earlier hour (or a later one, after the clock went back).
inline constexpr std::chrono::minutes kUsageHistoryCheckInterval{5};

class UsageHistoryRecorder {
 public:
  // Everything referenced must outlive the recorder.
  struct Dependencies {
    StatePaths paths;
    platform::VolumeMeter& volumes;
    platform::MountTable& mounts;
    std::string workingFolderName;
    transfers::BackgroundJobsStore& ledger;
    platform::Scheduler& scheduler;
    WallClock clock;
  };
  explicit UsageHistoryRecorder(Dependencies d);

  // Checks once now, then every kUsageHistoryCheckInterval.
  void start();
  void stop();
  // Appends a row when one is due and none is being written.
  void check();

 private:
  Dependencies d_;
  std::optional<platform::Scheduler::TimerId> timer_;
  bool writing_ = false;
};

}  // namespace brimvale::app
