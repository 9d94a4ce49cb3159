// The cloud side of `brimvale run`: the transfer queue with its scheduled
// runs, and the auto-sync minute timer whose files go to the drive through
// the application's folder mover.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "app/core/app_log.h"
#include "app/core/run_loop.h"
#include "cloud/auto_sync_manager.h"
#include "cloud/auto_sync_mover.h"
#include "cloud/auto_sync_timer.h"
#include "cloud/rclone_client.h"
#include "cloud/schedule_timer.h"
#include "cloud/sync_manager.h"
#include "common/state/paths.h"
#include "mover/local_folder_mover.h"
#include "platform/platform.h"
#include "transfers/background_jobs.h"
#include "transfers/transfer_events.h"

namespace brimvale::app {

// What the application lends the runtime for auto-sync's moves.
struct CloudRuntimeHooks {
  // Takes the relocator lock for this process (moves may run); false while
  // another process holds it, and the files then wait for a later minute.
  std::function<bool()> holdMoverLock;
  // Auto-sync queued what it had: a lock no move needs any more may go.
  std::function<void()> moverMayBeIdle;
};

// Loop-thread only. Everything passed in must outlive the runtime.
class CloudRuntime {
 public:
  CloudRuntime(const StatePaths& paths, RunLoop& loop, AppLog& log, mover::LocalFolderMover& mover,
               CloudRuntimeHooks hooks);
  ~CloudRuntime();
  CloudRuntime(const CloudRuntime&) = delete;
  CloudRuntime& operator=(const CloudRuntime&) = delete;

  // Reads the job list back, starts the runs that came due while the
  // application was not running (once each), then the minute timers.
  void start();
  // Stops the timers and every running rclone (their jobs come back queued
  // at the next start).
  void stop();
  // For the folder mover's change observer: the ends of auto-sync moves.
  void moveChanged(const mover::MoveManifest& move);
  // No auto-sync look and no transfer of this process is running or queued.
  [[nodiscard]] bool idle() const { return !autoSyncTimer_.busy() && !transfers_.busy(); }

 private:
  [[nodiscard]] cloud::DriveState drive() const;
  [[nodiscard]] std::vector<cloud::ScheduledTemplate> templates();
  void startScheduledRun(const std::string& id, std::time_t slot);

  StatePaths paths_;
  RunLoop& loop_;
  AppLog& log_;
  CloudRuntimeHooks hooks_;
  // The host's mount table, open-file test and computer name, for auto-sync.
  platform::Platform host_;
  transfers::BackgroundJobsStore ledger_;
  transfers::TransferEventStore events_;
  cloud::RcloneClient client_;
  cloud::SyncManager transfers_;
  cloud::AutoSyncManager autoSync_;
  cloud::AutoSyncMoveWatcher moves_;
  cloud::AutoSyncTimer autoSyncTimer_;
  cloud::ScheduleTimer scheduleTimer_;
  std::optional<platform::Scheduler::TimerId> pollTimer_;
};

}  // namespace brimvale::app
