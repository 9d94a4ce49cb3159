#include "app/host/application.h"

#include <thread>

#include "app/core/drive_transfer_command.h"
#include "app/core/status_text.h"
#include "common/base/best_effort.h"
#include "common/base/stop_point.h"
#include "common/state/delivered_notifications.h"

namespace brimvale::app {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kDrainInterval{2000};
constexpr milliseconds kDrainTolerance{500};
constexpr milliseconds kStatusInterval{3000};
constexpr milliseconds kStatusTolerance{1000};
constexpr std::chrono::seconds kLoadWait{10};
constexpr milliseconds kSelfCheckInterval{3600 * 1000};
constexpr milliseconds kSelfCheckTolerance{60 * 1000};
// Taking a free lock costs one system call; a move started elsewhere is
// noticed soon after it ends.
constexpr milliseconds kResumeRetry{3000};
constexpr milliseconds kResumeTolerance{1000};
// A copied transfer waits at most this long for its switch; the switch does
// not wait for a relocation that holds the lock, it is tried on a later look.
constexpr milliseconds kTransferLookInterval{5000};
constexpr milliseconds kTransferLookTolerance{1000};
// How often a run that quits once idle looks whether it is.
constexpr milliseconds kIdleLook{100};

}  // namespace

Application::Application(StatePaths paths, platform::AppPlatform& platform,
                         InstallerOptions installer, RunLoop& loop, AppLog& log,
                         std::string computerName, platform::MountTable& mounts,
                         platform::VolumeMeter& volumes, platform::ProcessLauncher& launcher)
    : paths_(std::move(paths)),
      platform_(platform),
      launcher_(launcher),
      loop_(loop),
      log_(log),
      installer_(paths_, installer, *platform.services, log.sink()),
      selfCheck_(paths_, installer.scriptsFolder, installer_, *platform.services, systemClock()),
      ledger_(paths_.state, systemClock()),
      centre_(paths_.state / kDeliveredNotificationsFile, std::move(platform.desktop), log.sink(),
              systemClock()),
      delivery_(paths_, centre_),
      monitor_({paths_, *platform.volumes, *platform.defaults, delivery_, ledger_, loop, log.sink(),
                systemClock(), installer.rsyncPath, platform::runnerOf(launcher)}),
      history_(
          {paths_, volumes, mounts, workingFolderName(computerName), ledger_, loop, systemClock()}),
      appMoves_(paths_, computerName, loop, log, centre_, launcher),
      mover_(paths_, platform.defaults.get(), computerName, loop, platform::runnerOf(launcher),
             &mounts),
      cloud_(paths_, loop, log, mover_.mover(),
             {.holdMoverLock = [this] { return holdMoverLock(); },
              .moverMayBeIdle = [this] { releaseMoverLockWhenIdle(); }}),
      junk_(paths_, *platform.defaults, loop, log),
      dashboard_({paths_, platform, installer.rsyncPath, snapshots::defaultSnapshotToolPath(),
                  mounts, launcher, std::move(computerName)},
                 log),
      rsyncPath_(installer.rsyncPath) {}

bool Application::start() {
  installer_.startService();
  // The start-service prompt: give the service up to 10 s to come up.
  const auto giveUpAt = std::chrono::steady_clock::now() + kLoadWait;
  while (!platform_.services->state().loaded) {
    if (std::chrono::steady_clock::now() >= giveUpAt) {
      log_.write(serviceDidNotLoadMessage(platform_.services->definitionPath(), paths_.home));
      return false;
    }
    // Tried again until the deadline above; each miss is noted.
    bestEffort(installer_.loadAndKickstart(), DiagnosticsLog(paths_.diagnosticsLog),
               "loading the service");
    std::this_thread::sleep_for(milliseconds(500));
  }
  delivery_.drainQueue();
  loop_.scheduleRepeating("notifications.drain", kDrainInterval, kDrainTolerance,
                          [this] { delivery_.drainQueue(); });
  diagnostics::sweepStaleStorageNotifications(centre_);
  monitor_.start();
  history_.start();
  appMoves_.start();
  dashboard_.start();
  junk_.start();
  // Unfinished folder moves continue from their manifests, but only under
  // the relocator lock: a `brimvale move` running now owns its job.
  mover_.setOnChange([this](const mover::MoveManifest& job) {
    if (!readingBack_ || !mover::isTerminal(job.phase)) cloud_.moveChanged(job);
    loop_.post([this] { releaseMoverLockWhenIdle(); });
  });
  if (!resumeMoves()) {
    resumeTimer_ = loop_.scheduleRepeating("mover.resume", kResumeRetry, kResumeTolerance, [this] {
      if (!resumeMoves()) return;
      loop_.cancel(*resumeTimer_);
      resumeTimer_.reset();
    });
  }
  loop_.scheduleRepeating("status.poll", kStatusInterval, kStatusTolerance,
                          [this] { pollStatus(); });
  loop_.scheduleRepeating("self-check.timer", kSelfCheckInterval, kSelfCheckTolerance,
                          [this] { auditService(); });
  loop_.scheduleRepeating("transfer.switch", kTransferLookInterval, kTransferLookTolerance,
                          [this] { switchWhenCopied(); });
  cloud_.start();
  log_.write("Brimvale is running; stop it with Ctrl-C or SIGTERM.");
  return true;
}

bool Application::resumeMoves() {
  if (moverLock_) return true;
  auto lock = std::make_unique<mover::RelocatorLock>(paths_.state);
  if (auto taken = lock->acquire(milliseconds(0)); !taken) {
    if (!resumeDeferred_) {
      log_.write("Unfinished folder moves were not resumed yet: " + taken.error().detail +
                 " Brimvale will resume them once that has finished.");
    }
    resumeDeferred_ = true;
    return false;
  }
  if (resumeDeferred_)
    log_.write("The other relocation has finished; resuming unfinished folder moves.");
  moverLock_ = std::move(lock);
  reloadMoves();
  releaseMoverLockWhenIdle();
  return true;
}

bool Application::holdMoverLock() {
  if (moverLock_) return true;
  auto lock = std::make_unique<mover::RelocatorLock>(paths_.state);
  if (!lock->acquire(milliseconds(0))) return false;
  moverLock_ = std::move(lock);
  // Another process may have moved the records on while it held the lock.
  reloadMoves();
  return true;
}

void Application::reloadMoves() {
  readingBack_ = true;
  mover_.mover().reload();
  readingBack_ = false;
}

void Application::releaseMoverLockWhenIdle() {
  if (moverLock_ && mover_.mover().idle()) moverLock_.reset();
}

void Application::pollStatus() {
  // Also reaps a service that ended, so its exit is noticed.
  platform::ServiceJobState job = platform_.services->state();
  if (lastPid_ && !job.pid) {
    log_.write("background service stopped" +
               (job.lastExitStatus ? " (exit " + std::to_string(*job.lastExitStatus) + ")"
                                   : std::string()));
  }
  lastPid_ = job.pid;
  auto status = readStatus(paths_.statusJson);
  if (!status || status->timestamp == lastSnapshot_) return;
  lastSnapshot_ = status->timestamp;
  log_.write(statusSummaryLine(*status));
}

void Application::switchWhenCopied() {
  if (switching_) return;
  auto job = mover::readSwitchJob(paths_);
  if (!job || job->kind != kTransferKindSwitch || job->phase != TransferPhase::kCopied) return;
  switching_ = true;
  loop_.runInBackground([paths = paths_, rsync = rsyncPath_, this]() -> std::function<void()> {
    std::vector<std::string> steps;
    mover::SwitchOutcome outcome = switchToNewDrive(
        platform::runnerOf(launcher_), paths, rsync,
        [&steps](std::string_view step) { steps.emplace_back(step); }, milliseconds(0));
    return [this, outcome, steps] {
      switching_ = false;
      // A refusal is tried again on every look; it is logged once until it changes.
      const std::string result = outcome.text();
      if (outcome.end == mover::SwitchEnd::kRefused && result == lastSwitchResult_) return;
      lastSwitchResult_ = result;
      log_.write(transferStatusLine(TransferPhase::kCopied, false, true));
      for (const auto& step : steps) log_.write("  " + step);
      log_.write(result.substr(0, result.size() - 1));
    };
  });
}

void Application::auditService() {
  SelfCheckReport report = selfCheck_.run();
  for (const auto& check : report.checks) {
    if (check.outcome != CheckOutcome::kHealthy) log_.write(check.name + ": " + check.detail);
  }
  log_.write(report.summary());
}

void Application::quit() {
  junk_.stop();
  dashboard_.stop();
  cloud_.stop();
  appMoves_.stop();
  history_.stop();
  monitor_.stop();
  installer_.stopService();
  log_.write("Brimvale quit.");
}

bool Application::idle() {
  return !switching_ && !resumeTimer_ && mover_.mover().idle() && cloud_.idle() && appMoves_.idle();
}

int Application::run() {
  if (!start()) {
    quit();
    return 1;
  }
  if (quitWhenIdle()) {
    // The first look comes with the other timers' first firings; from the
    // next on their work shows. What is already posted (a move's end) runs
    // before the stop.
    loop_.scheduleRepeating("quit-when-idle", kIdleLook, kIdleLook, [this, looks = 0]() mutable {
      if (++looks > 1 && idle())
        loop_.post([this] {
          if (idle()) loop_.stop();
        });
    });
  }
  loop_.run();
  quit();
  return 0;
}

}  // namespace brimvale::app
