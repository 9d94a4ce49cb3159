// `brimvale run`: starts the service first, then drains notifications, watches
// free space, records the hourly usage history and polls the service's status
// on one run loop; at quit stops the monitor and unloads the service within 5 seconds.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/core/app_log.h"
#include "app/core/mover_commands.h"
#include "app/core/run_loop.h"
#include "app/host/app_move_runtime.h"
#include "app/host/cloud_runtime.h"
#include "app/host/dashboard_runtime.h"
#include "app/host/junk_runtime.h"
#include "app/host/self_check.h"
#include "app/host/service_installer.h"
#include "app/host/usage_history_recorder.h"
#include "diagnostics/notification_delivery.h"
#include "diagnostics/storage_warning_monitor.h"
#include "mover/safety_checks.h"
#include "platform/app_platform.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {

class Application {
 public:
  // Everything passed in must outlive the application.
  Application(StatePaths paths, platform::AppPlatform& platform, InstallerOptions installer,
              RunLoop& loop, AppLog& log, std::string computerName, platform::MountTable& mounts,
              platform::VolumeMeter& volumes, platform::ProcessLauncher& launcher);

  // Start-up in order: service first (installing on first run), the wait for
  // it to be loaded, the first drain and the 2 s drain timer, the sweep of
  // stale storage warnings, the storage warning monitor, the hourly usage
  // history, the recovery of
  // unfinished folder moves (under the relocator lock; while another process
  // holds it, tried again every few seconds), the 3 s status poll.
  // False when the service never got loaded (the caller quits).
  [[nodiscard]] bool start();
  // Stops the monitor, then unloads the service (at most 5 s).
  void quit();
  // start(), the loop until SIGINT/SIGTERM, quit(). The process exit status.
  [[nodiscard]] int run();

 private:
  // No folder move, transfer, auto-sync look, reinstall sweep or drive
  // switch is running or waiting to run here.
  [[nodiscard]] bool idle();
  void pollStatus();
  void auditService();
  // Starts the drive switch in the background once a transfer's copy is
  // verified; its steps and result go to the log.
  void switchWhenCopied();
  // Takes the relocator lock and resumes the unfinished folder moves; false
  // (nothing resumed) while another process holds the lock.
  bool resumeMoves();
  // The lock is held only while this process has folder moves to run.
  void releaseMoverLockWhenIdle();
  // Takes the relocator lock for moves queued here (auto-sync); false while
  // another process holds it.
  bool holdMoverLock();
  // Reads the move records back; moves that ended meanwhile, here before a
  // restart or in another process, were counted where they ended.
  void reloadMoves();

  StatePaths paths_;
  platform::AppPlatform& platform_;
  platform::ProcessLauncher& launcher_;
  RunLoop& loop_;
  AppLog& log_;
  ServiceInstaller installer_;
  SelfCheck selfCheck_;
  transfers::BackgroundJobsStore ledger_;
  platform::NotificationCenter centre_;
  diagnostics::NotificationDelivery delivery_;
  diagnostics::StorageWarningMonitor monitor_;
  UsageHistoryRecorder history_;
  AppMoveRuntime appMoves_;
  // Declared before the mover: destroyed after it, so the lock outlives every copy it ran.
  std::unique_ptr<mover::RelocatorLock> moverLock_;
  std::optional<platform::Scheduler::TimerId> resumeTimer_;
  bool resumeDeferred_ = false;
  bool readingBack_ = false;  // while reloadMoves() runs
  MoverHost mover_;
  CloudRuntime cloud_;
  JunkRuntime junk_;
  DashboardRuntime dashboard_;
  std::string lastSnapshot_;
  std::optional<int> lastPid_;
  std::string rsyncPath_;
  bool switching_ = false;
  std::string lastSwitchResult_;
};

}  // namespace brimvale::app
