#include "service/watch/watch.h"

#include <unistd.h>

#include <filesystem>
#include <ostream>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/stop_point.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "service/core/notifications.h"
#include "service/core/rule_run_lock.h"
#include "service/core/status_snapshot.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_store.h"
#include "service/drives/self_backup.h"
#include "service/rules/rules_engine.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

// Swallows what it is given: the self-backup's output is not the loop's.
class NullBuffer final : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
};

}  // namespace

void WatchLoop::start() {
  ctx_.log.say("watch loop start (pid=" + std::to_string(getpid()) + ", interval=" +
               std::to_string(ctx_.cfg().getInt(config_keys::kWatchIntervalSecs)) + "s)");
  previous_ = DriveState::kUnknown;
  lastRunDay_.clear();
  bestEffort(removePath(ctx_.paths.warnState),
             DiagnosticsLog(ctx_.paths.diagnosticsLog, ctx_.clock), "clearing the warning state");
}

bool WatchLoop::tick() {
  if (!loadConfig(ctx_)) return false;
  followDrive(driveUsable(ctx_) ? DriveState::kPresent : DriveState::kAbsent);
  const std::time_t now = ctx_.clock();
  const std::string today = localDate(now);
  dailyRun(today, localHour(now));
  dailySelfBackup(today);
  transferTick(ctx_);
  bestEffort(writeStatusJson(ctx_).saved, DiagnosticsLog(ctx_.paths.diagnosticsLog, ctx_.clock),
             "writing the status snapshot");
  stopPoint("watch:tick-done");
  sleep_(ctx_.cfg().getInt(config_keys::kWatchIntervalSecs));
  return true;
}

void WatchLoop::followDrive(DriveState now) {
  if (now == previous_) return;
  const ServiceConfig& cfg = ctx_.cfg();
  const std::string alert = cfg.get(config_keys::kNotifySoundAlert);
  if (now == DriveState::kAbsent && previous_ == DriveState::kUnknown) {
    ctx_.log.say(std::string(kHostWords.startupMountAttempt));
    if (attemptRemount(ctx_, sleep_)) {
      now = DriveState::kPresent;
    } else {
      ctx_.log.say(std::string(kHostWords.startupMountFailed));
    }
  } else if (now == DriveState::kAbsent) {
    ctx_.log.say("NVMe disappeared.");
    note(ctx_.paths, ctx_.platform,
         {.title = "NVMe disconnected", .body = "Trying to remount...", .sound = alert});
    if (attemptRemount(ctx_, sleep_)) {
      now = DriveState::kPresent;
    } else {
      note(ctx_.paths, ctx_.platform,
           {.title = "NVMe still missing", .body = "Plug it back in.", .sound = alert});
    }
  } else if (previous_ == DriveState::kUnknown) {
    ctx_.log.say("NVMe present at startup.");
  } else {
    ctx_.log.say("NVMe present.");
    note(ctx_.paths, ctx_.platform,
         {.title = "NVMe restored",
          .body = "All systems normal.",
          .sound = cfg.get(config_keys::kNotifySoundInfo)});
  }
  previous_ = now;
}

void WatchLoop::dailyRun(const std::string& today, int hour) {
  const ServiceConfig& cfg = ctx_.cfg();
  if (!cfg.flag(config_keys::kAutoRelocateDaily) || !cfg.flag(config_keys::kEnableAutoActions))
    return;
  if (isPaused(ctx_) || previous_ != DriveState::kPresent) return;
  if (hour != cfg.getInt(config_keys::kAutoRelocateHour) || lastRunDay_ == today) return;
  if (gatherStatus(ctx_).quiet.quiet) return;
  // Another run at work (relocate-now, free-space, a clean-up): try again
  // next tick rather than hold the loop up.
  auto lock = RuleRunLock::acquire(ctx_.paths, std::chrono::milliseconds(0));
  if (!lock) {
    ctx_.log.log("daily auto-relocate run postponed to the next tick: " + lock.error());
    return;
  }
  ctx_.log.say("starting daily auto-relocate run");
  Guards guards(ctx_.paths.home, *ctx_.platform.files);
  (void)runRules(ctx_, guards, RunMode::kReal);  // says itself why it stopped
  lastRunDay_ = today;
  markLastRun(ctx_, "scheduled");
  if (cfg.flag(config_keys::kNotifyOnOkRun)) {
    note(ctx_.paths, ctx_.platform,
         {.title = std::string(kHostWords.productName),
          .body = "Nightly run finished.",
          .sound = cfg.get(config_keys::kNotifySoundInfo)});
  }
}

void WatchLoop::dailySelfBackup(const std::string& today) {
  if (!driveUsable(ctx_)) return;
  // A drive transfer copies the working folder and verifies the copy against
  // it, and the old drive must stay as it was until the switch is done: the
  // backup waits (the day is not marked, so a later tick makes it).
  if (!isFinished(TransferStore(TransferFiles::in(ctx_.paths.state)).currentPhase())) return;
  auto done = readFile(ctx_.paths.selfBackupDay);
  if (done && done->starts_with(today)) return;
  NullBuffer discard;
  std::ostream quiet(&discard);
  ServiceContext backup(ctx_.paths, ctx_.platform, ctx_.clock, quiet, quiet);
  backup.config = ctx_.config;
  // A backup that failed says why in the log; the day stays open so a later tick tries again.
  if (backupSelfCommand(backup, {}) != 0) return;
  bestEffort(writeFileAtomically(ctx_.paths.selfBackupDay, today + "\n"),
             DiagnosticsLog(ctx_.paths.diagnosticsLog, ctx_.clock), "noting today's self-backup");
}

int watchCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  WatchLoop loop(ctx, realSleep());
  loop.start();
  while (loop.tick()) {
  }
  return 1;
}

int pauseCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const DiagnosticsLog diagnostics(ctx.paths.diagnosticsLog, ctx.clock);
  bestEffort(createDirectories(ctx.paths.state), diagnostics, "creating the state folder");
  bestEffort(touchFile(ctx.paths.paused), diagnostics, "marking the service paused");
  ctx.out << "Paused.\n";
  ctx.log.log("paused");
  if (!loadConfig(ctx)) return 1;
  bestEffort(writeStatusJson(ctx).saved, diagnostics, "writing the status snapshot");
  return 0;
}

int resumeCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const DiagnosticsLog diagnostics(ctx.paths.diagnosticsLog, ctx.clock);
  bestEffort(removePath(ctx.paths.paused), diagnostics, "removing the pause mark");
  ctx.out << "Resumed.\n";
  ctx.log.log("resumed");
  if (!loadConfig(ctx)) return 1;
  bestEffort(writeStatusJson(ctx).saved, diagnostics, "writing the status snapshot");
  return 0;
}

}  // namespace brimvale::service
