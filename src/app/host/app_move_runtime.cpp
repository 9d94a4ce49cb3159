#include "app/host/app_move_runtime.h"

#include "apps/app_classifier.h"
#include "apps/reinstall_sweep.h"
#include "common/state/configured_drive.h"
#include "mover/local_folder_mover.h"
#include "mover/safety_checks.h"
#include "platform/app_relocation_tools.h"

namespace brimvale::app {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kSweepInterval{10 * 60 * 1000};
constexpr milliseconds kSweepTolerance{30 * 1000};
// A parked original waits for the repair: look again soon after another
// process's move ends, not at the next sweep.
constexpr milliseconds kRepairRetry{3000};
constexpr milliseconds kRepairRetryTolerance{1000};

// Whether no other process (or part of this one) moves anything now. Only a
// hint: the engine takes the lock itself and refuses when it is held.
bool relocatorFree(const StatePaths& paths) {
  mover::RelocatorLock lock(paths.state);
  if (!lock.acquire(milliseconds(0))) return false;
  lock.release();
  return true;
}

}  // namespace

// Used by one thread at a time: the loop thread at start, then the worker
// of each sweep, which the runtime starts only when the last one has ended.
struct AppMoveRuntime::Worker {
  StatePaths paths;
  std::unique_ptr<platform::AppRelocationTools> tools;
  apps::AppManifestStore store;
  std::unique_ptr<apps::ReinstallSweep> sweep;
  bool repaired = false;

  Worker(StatePaths p, const std::string& computerName, AppLog& log,
         platform::ProcessLauncher& launcher,
         std::function<void(const apps::MonitorNotification&)> notify)
      : paths(std::move(p)),
        tools(platform::makeHostAppRelocationTools(log.sink(), platform::runnerOf(launcher))),
        store(paths.appMovesFolder, log.sink(), systemClock()) {
    const fs::path home = paths.home;
    const StatePaths statePaths = paths;
    sweep = std::make_unique<apps::ReinstallSweep>(apps::ReinstallSweepSetup{
        .env = apps::AppMoveEnvironment::forHome(home, computerName, *tools, store, log.sink()),
        .appsFolder = [statePaths, computerName]() -> std::optional<fs::path> {
          const auto drive = configuredDrive(statePaths);
          if (!drive) return std::nullopt;
          const fs::path working = workingFolderFor(*drive, computerName);
          std::error_code ec;
          if (!fs::is_directory(working, ec)) return std::nullopt;
          return working / "Apps";
        },
        .classifyInstall = apps::systemInstallClassifier(apps::systemClassifierEnvironment(home)),
        .notify = std::move(notify),
        .moved =
            [&log](const apps::EngineCompletion& done) {
              log.write("Vendor reinstall: " + done.sentence);
            }});
  }

  // Repairs unfinished moves once, when no one else is moving anything.
  void repair() {
    if (repaired || !relocatorFree(paths)) return;
    sweep->engine().reclaimCommittedQuarantines();
    (void)sweep->engine().recoverPendingManifests();  // the engine logs each repair's failure
    repaired = true;
  }
};

AppMoveRuntime::AppMoveRuntime(StatePaths paths, std::string computerName, RunLoop& loop,
                               AppLog& log, platform::NotificationCenter& centre,
                               platform::ProcessLauncher& launcher)
    : loop_(loop), log_(log), centre_(centre) {
  worker_ = std::make_shared<Worker>(
      std::move(paths), computerName, log, launcher,
      [&loop, &centre](const apps::MonitorNotification& n) {
        // From a worker: the centre belongs to the loop thread.
        platform::NotificationRequest request{
            .identifier = n.name + "." + n.userInfo.value("manifestID", std::string()),
            .threadIdentifier = n.userInfo.value("threadID", std::string()),
            .title = n.userInfo.value("title", std::string()),
            .body = n.userInfo.value("body", std::string())};
        loop.post([&centre, request] { centre.add(request); });
      });
}

AppMoveRuntime::~AppMoveRuntime() = default;

void AppMoveRuntime::start() {
  worker_->repair();
  if (!worker_->repaired) {
    log_.write(
        "Unfinished app moves were not repaired yet: another move is running. Brimvale "
        "repairs them once it has finished.");
    repairTimer_ = loop_.scheduleRepeating("apps.repair-retry", kRepairRetry, kRepairRetryTolerance,
                                           [this] { retryRepair(); });
  }
  timer_ = loop_.scheduleRepeating("apps.reinstall-sweep", kSweepInterval, kSweepTolerance,
                                   [this] { tick(); });
}

void AppMoveRuntime::retryRepair() {
  // A sweep on a worker repairs first itself; the worker is its own then.
  if (busy_) return;
  if (!worker_->repaired) worker_->repair();
  if (!worker_->repaired) return;
  log_.write("The other move has finished; unfinished app moves were repaired.");
  loop_.cancel(*repairTimer_);
  repairTimer_.reset();
}

void AppMoveRuntime::tick() {
  if (busy_ || !relocatorFree(worker_->paths)) return;
  busy_ = true;
  loop_.runInBackground([this, worker = worker_]() -> std::function<void()> {
    worker->repair();
    if (worker->repaired) worker->sweep->run();
    return [this] { busy_ = false; };
  });
}

void AppMoveRuntime::stop() {
  if (timer_) loop_.cancel(*timer_);
  timer_.reset();
  if (repairTimer_) loop_.cancel(*repairTimer_);
  repairTimer_.reset();
}

}  // namespace brimvale::app
