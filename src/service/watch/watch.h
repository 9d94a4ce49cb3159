// The service's long-running mode and the pause switch: each tick notices the
// drive coming and going, runs the rules once a day when the machine is idle,
// makes the daily self-backup, keeps a drive transfer going and rewrites the
// status snapshot.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"
#include "service/drives/remount.h"

namespace brimvale::service {

enum class DriveState { kUnknown, kPresent, kAbsent };

// The loop's state lives only in memory: a restarted loop starts from
// "unknown" and may run the rules a second time during the configured hour.
// The clock is the context's; `sleep` waits between ticks and between
// remount attempts, so tests drive hours and days without waiting.
class WatchLoop {
 public:
  WatchLoop(ServiceContext& ctx, SleepSeconds sleep) : ctx_(ctx), sleep_(std::move(sleep)) {}

  // Says the start line and deletes state/warn-state. Requires loaded configuration.
  void start();
  // One tick, from re-reading the configuration to the sleep. False when the
  // configuration has gone (the error line is said; the loop must end).
  [[nodiscard]] bool tick();

 private:
  void followDrive(DriveState now);
  void dailyRun(const std::string& today, int hour);
  void dailySelfBackup(const std::string& today);

  ServiceContext& ctx_;
  SleepSeconds sleep_;
  DriveState previous_ = DriveState::kUnknown;
  std::string lastRunDay_;
};

// `watch`: ticks until terminated; exit 1 when the configuration goes missing.
int watchCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// `pause` / `resume`: create or delete the pause sentinel, then rewrite the
// snapshot (exit 1 when the configuration is missing; the sentinel is set anyway).
int pauseCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int resumeCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
