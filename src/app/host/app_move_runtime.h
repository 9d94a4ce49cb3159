// `brimvale run`'s app mover: repairs app moves a crash cut short at start
// (under the relocator lock; a few seconds after another process lets it go),
// then moves reinstalled apps to the drive again every 10 minutes, off the loop.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/core/app_log.h"
#include "app/core/run_loop.h"
#include "common/state/paths.h"
#include "platform/notification_center.h"

namespace brimvale::app {

class AppMoveRuntime {
 public:
  // Everything passed in must outlive the runtime.
  AppMoveRuntime(StatePaths paths, std::string computerName, RunLoop& loop, AppLog& log,
                 platform::NotificationCenter& centre, platform::ProcessLauncher& launcher);
  ~AppMoveRuntime();
  AppMoveRuntime(const AppMoveRuntime&) = delete;
  AppMoveRuntime& operator=(const AppMoveRuntime&) = delete;

  // Repairs what is unfinished now if it can, and starts the timer.
  void start();
  // Stops the timer. A sweep running on a worker finishes its current move;
  // one cut short by the process's end is repaired at the next start.
  void stop();
  // No sweep runs and no repair waits for another move to end.
  [[nodiscard]] bool idle() const { return !busy_ && !repairTimer_; }

 private:
  struct Worker;
  void tick();
  void retryRepair();

  RunLoop& loop_;
  AppLog& log_;
  platform::NotificationCenter& centre_;
  // Shared with the work in flight, which may outlive this object at quit.
  std::shared_ptr<Worker> worker_;
  std::optional<platform::Scheduler::TimerId> timer_;
  std::optional<platform::Scheduler::TimerId> repairTimer_;  // while the lock was busy at start
  bool busy_ = false;                                        // a sweep runs on a worker
};

}  // namespace brimvale::app
