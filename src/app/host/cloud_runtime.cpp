#include "app/host/cloud_runtime.h"

#include <system_error>

#include "app/core/short_id.h"
#include "app/core/transfers_command.h"
#include "cloud/rclone_helper.h"
#include "cloud/rclone_locator.h"
#include "cloud/schedule.h"
#include "common/base/injected_clock.h"
#include "common/state/configured_drive.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// rclone's statistics reach the job list this often.
constexpr milliseconds kPollInterval{1000};
constexpr milliseconds kPollTolerance{250};
constexpr std::string_view kHeldByOtherMove = "while another Brimvale process runs folder moves";

cloud::AutoSyncSettings autoSyncSettings(const StatePaths& paths, platform::Platform& host,
                                         transfers::BackgroundJobsStore& ledger, AppLog& log) {
  cloud::AutoSyncSettings s;
  s.stateDir = paths.state;
  s.diagnosticsLog = paths.diagnosticsLog;
  const std::string computer = host.host->computerName();
  // Without a known drive no folder is a destination.
  const auto drive = configuredDrive(paths);
  s.roots = {paths.home,
             drive ? cloud::destinationRootFor(workingFolderFor(*drive, computer)) : fs::path()};
  // Read each time: the drive may be swapped or unplugged while the application runs.
  s.driveMounted = [paths, computer, mounts = host.mounts.get()] {
    auto drive = configuredDrive(paths);
    std::error_code ec;
    return drive && mounts->isMountedAt(drive->string()) &&
           fs::is_directory(workingFolderFor(*drive, computer), ec);
  };
  s.isOpen = [files = host.files.get()](const std::string& path) { return files->isOpen(path); };
  s.ledger = &ledger;
  s.clock = systemClock();
  s.log = [&log](const std::string& line) { log.write(line); };
  return s;
}

}  // namespace

CloudRuntime::CloudRuntime(const StatePaths& paths, RunLoop& loop, AppLog& log,
                           mover::LocalFolderMover& mover, CloudRuntimeHooks hooks)
    : paths_(paths),
      loop_(loop),
      log_(log),
      hooks_(std::move(hooks)),
      host_(platform::makeHostPlatform()),
      ledger_(paths.state, systemClock()),
      events_(paths.state),
      client_(
          cloud::locateRclone(cloud::defaultRcloneSearch(), platform::runnerOf(*host_.launcher)),
          platform::runnerOf(*host_.launcher)),
      transfers_({
          .jobsFile = paths.cloudJobs,
          .rclone = cloud::locateRclone(cloud::defaultRcloneSearch(),
                                        platform::runnerOf(*host_.launcher)),
          .run = platform::runnerOf(*host_.launcher),
          .client = &client_,
          .deletable = transferDeletable(paths, host_.host->computerName()),
          .remoteType = [this](const std::string& remote) -> std::optional<std::string> {
            auto listing = client_.run({"listremotes", "--long"});
            if (!listing || listing->status != 0) return std::nullopt;
            for (const auto& r : cloud::parseRemoteListing(listing->out)) {
              if (r.name == remote) return r.type;
            }
            return std::nullopt;
          },
          .drive = [this] { return drive(); },
          .notify = [this](const std::string& text) { log_.write(text); },
          .log =
              [this](const std::string& id, const std::string& line) {
                log_.write("transfer " + shortId(id) + ": " + cloud::logLineText(line));
              },
          .events = &events_,
          .clock = systemClock(),
      }),
      autoSync_([&] {
        auto s = autoSyncSettings(paths, host_, ledger_, log);
        // Files go through the mover only while this process may run moves;
        // a file not taken now is offered again next minute.
        s.queueCopy = [this, queue = cloud::queueThroughMover(mover)](const std::string& file,
                                                                      const std::string& parent) {
          if (!hooks_.holdMoverLock || !hooks_.holdMoverLock()) {
            return cloud::QueueOutcome{cloud::QueueOutcome::Kind::kDropped,
                                       std::string(kHeldByOtherMove)};
          }
          auto outcome = queue(file, parent);
          if (hooks_.moverMayBeIdle) loop_.post(hooks_.moverMayBeIdle);
          return outcome;
        };
        return s;
      }()),
      moves_(autoSync_),
      autoSyncTimer_(loop, autoSync_, minuteTimerInterval()),
      scheduleTimer_(
          loop, [this] { return templates(); },
          [this](const std::string& id, std::time_t slot) { startScheduledRun(id, slot); },
          systemClock(), minuteTimerInterval()) {}

CloudRuntime::~CloudRuntime() { stop(); }

cloud::DriveState CloudRuntime::drive() const {
  return configuredDriveState(paths_, *host_.mounts);
}

std::vector<cloud::ScheduledTemplate> CloudRuntime::templates() {
  // `transfers schedule` writes the file while this process holds the list.
  if (auto onDisk = cloud::JobListFile(paths_.cloudJobs).load()) {
    transfers_.adoptSchedules(*onDisk);
  }
  std::vector<cloud::ScheduledTemplate> due;
  for (const auto& job : transfers_.jobs()) {
    if (!job.schedule || job.isScheduledInstance) continue;
    const auto schedule = cloud::scheduleFromJson(*job.schedule);
    if (!schedule || schedule->kind == cloud::ScheduleKind::kNone) continue;
    due.push_back({job.id, *schedule, job.createdAt, job.lastScheduledRun});
  }
  return due;
}

void CloudRuntime::startScheduledRun(const std::string& id, std::time_t slot) {
  const auto run = transfers_.enqueueScheduledRun(id, slot);
  if (!run) return;
  log_.write("Started the scheduled run " + shortId(*run) + " of transfer " + shortId(id) +
             " (due " + localMinute(slot) + ").");
}

void CloudRuntime::start() {
  if (auto loaded = transfers_.load(); !loaded) {
    log_.write("The transfer list could not be read (" + loaded.error().message() +
               "); scheduled transfers will not run until it can. Nothing in it was changed.");
  }
  // Runs that came due while the application was not running start now, once each.
  scheduleTimer_.tick();
  scheduleTimer_.start();
  autoSyncTimer_.start();
  pollTimer_ = loop_.scheduleRepeating("transfers.poll", kPollInterval, kPollTolerance, [this] {
    transfers_.poll();
    transfers_.driveReturned();
  });
}

void CloudRuntime::stop() {
  scheduleTimer_.stop();
  autoSyncTimer_.stop();
  if (pollTimer_) loop_.cancel(*pollTimer_);
  pollTimer_.reset();
}

void CloudRuntime::moveChanged(const mover::MoveManifest& move) { moves_.moveChanged(move); }

}  // namespace brimvale::app
