#include "cloud/sync_manager.h"

#include "cloud/schedule.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>

#include "cloud/source_removal.h"
#include "common/base/stop_point.h"
#include "platform/byte_count_format.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFailureLines = 5;
constexpr std::size_t kNamedFiles = 5;

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// "a, b, c and 4 more".
std::string named(const std::vector<std::string>& files) {
  std::string text;
  for (std::size_t i = 0; i < files.size() && i < kNamedFiles; ++i) {
    text += (i == 0 ? "" : ", ") + files[i];
  }
  if (files.size() > kNamedFiles)
    text += " and " + std::to_string(files.size() - kNamedFiles) + " more";
  return text;
}

// Why the files in `left` are still in the source.
std::string leftText(const SyncJob& job, const std::vector<std::string>& left) {
  return counted(left.size(), "file stayed in ", "files stayed in ") + job.source +
         " because they changed while being copied, or their copy at " + job.destination +
         " could not be shown to be identical: " + named(left) +
         ". Everything else was copied, checked and deleted from the source. Nothing is lost; "
         "run the transfer again once those files have settled.";
}

// What a local path leads to (links followed, as rclone follows them).
std::optional<std::pair<dev_t, ino_t>> reachedAt(const std::string& path) {
  struct stat st {};
  if (isRemotePath(path) || stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::pair{st.st_dev, st.st_ino};
}

std::string driveLostText(const SyncJob& job, std::size_t sourceFilesRemoved,
                          const std::optional<StrandedWrites>& stranded) {
  std::string text =
      "The fast drive was disconnected during the transfer, so Brimvale stopped it. ";
  text += sourceFilesRemoved == 0
              ? "Nothing was deleted from " + job.source + "; your files are safe. "
              : "The " + counted(sourceFilesRemoved, "file", "files") +
                    " already moved were checked on the drive first; everything else is still in " +
                    job.source + ". ";
  if (stranded && stranded->left > 0) {
    text += "Before it was stopped, rclone wrote " + counted(stranded->left, "file", "files") +
            " into " + stranded->folder.string() +
            ", which was then an empty folder on this computer's own disk and is hidden while the "
            "drive is connected: they are only incomplete copies; with the drive unplugged, delete "
            "that folder to free the space. ";
  }
  return text +
         "Reconnect the drive: the transfer starts again by itself while Brimvale runs, or run it "
         "again yourself.";
}

}  // namespace

std::string rerunSuffixAt(std::time_t now) {
  std::string stamp = isots(now);
  std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
  return ".kept-" + stamp;
}

SyncManager::SyncManager(SyncManagerSetup setup)
    : setup_(std::move(setup)),
      file_(setup_.jobsFile, *setup_.ops),
      runs_(JobRunFiles::besideJobList(setup_.jobsFile)) {}

SyncManager::~SyncManager() {
  // Destroying a handle ends its rclone and waits for its thread, so no
  // report can arrive after this. Without their run records the jobs read
  // back queued, for whichever process runs them next.
  std::vector<std::string> owned;
  for (const auto& [id, run] : running_) owned.push_back(id);
  running_.clear();
  for (const auto& id : owned) runs_.remove(id);
}

Result<void> SyncManager::load() {
  auto loaded = file_.load();
  if (!loaded) return std::unexpected(loaded.error());
  jobs_ = std::move(*loaded);
  lastRefresh_ = std::chrono::steady_clock::now();
  pump();
  return {};
}

const SyncJob* SyncManager::find(const std::string& id) const {
  auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const SyncJob& j) { return j.id == id; });
  return it == jobs_.end() ? nullptr : &*it;
}

SyncJob* SyncManager::findMutable(const std::string& id) {
  return const_cast<SyncJob*>(std::as_const(*this).find(id));
}

int SyncManager::childPid(const std::string& id) const {
  auto it = running_.find(id);
  return it == running_.end() || !it->second.child ? 0 : it->second.child->pid();
}

bool SyncManager::busy() const {
  return !running_.empty() || std::any_of(jobs_.begin(), jobs_.end(), [&](const SyncJob& job) {
    return job.state == JobState::kQueued && setup_.mayStart(job);
  });
}

void SyncManager::save(const std::vector<std::string>& ids) {
  // Only the jobs this manager changed are written: the others may have
  // been changed by another process since this one read them.
  auto saved = file_.update([&](std::vector<SyncJob>& disk) {
    for (const auto& id : ids) {
      auto it =
          std::find_if(disk.begin(), disk.end(), [&](const SyncJob& j) { return j.id == id; });
      const SyncJob* mine = find(id);
      if (!mine) {
        if (it != disk.end()) disk.erase(it);
      } else if (it != disk.end()) {
        *it = *mine;
      } else {
        disk.push_back(*mine);
      }
    }
  });
  // A list that cannot be written stays correct in memory; the next change
  // tries again.
  if (!saved) setup_.log("", "Couldn't save the transfer list: " + saved.error().message());
}

void SyncManager::writeRun(const std::string& id) {
  const SyncJob* job = find(id);
  if (!job) return;
  if (auto written = runs_.write(id, runOfThisProcess(childPid(id), job->progress, setup_.clock()));
      !written) {
    setup_.log(id, "Couldn't record this transfer's progress for other windows: " +
                       written.error().message());
  }
  lastRunWrite_[id] = std::chrono::steady_clock::now();
}

void SyncManager::dropRun(const std::string& id) {
  runs_.remove(id);
  lastRunWrite_.erase(id);
}

void SyncManager::refresh() {
  auto disk = file_.load();
  if (!disk) return;
  lastRefresh_ = std::chrono::steady_clock::now();
  std::vector<SyncJob> merged;
  for (auto& theirs : *disk) {
    SyncJob* mine = findMutable(theirs.id);
    const bool runningHere = running_.contains(theirs.id);
    if (!mine || !runningHere) {
      merged.push_back(std::move(theirs));
      continue;
    }
    // Another process paused, resumed or cancelled a job this one owns.
    const bool stopped = (theirs.state == JobState::kPaused && isActive(mine->state)) ||
                         (theirs.state == JobState::kCanceled && !isFinished(mine->state));
    const bool resumed = theirs.state == JobState::kQueued && mine->state == JobState::kPaused;
    if (stopped || resumed) {
      mine->errorMessage = theirs.errorMessage;
      mine->completedAt = theirs.completedAt;
      if (theirs.state == JobState::kCanceled) {
        mine->state = theirs.state;
        stopChild(theirs.id);
        dropRun(theirs.id);
        setup_.notify(std::string(kTransferCancelled));
      } else if (theirs.state == JobState::kPaused) {
        mine->state = theirs.state;
        suspendHere(theirs.id);
      } else {
        mine->state = theirs.state;  // queued: pump() continues its rclone
      }
    }
    merged.push_back(*mine);
  }
  for (const auto& [id, run] : running_) {
    if (std::none_of(merged.begin(), merged.end(), [&](const SyncJob& j) { return j.id == id; })) {
      if (const SyncJob* mine = find(id)) merged.push_back(*mine);
    }
  }
  jobs_ = std::move(merged);
  pump();
}

std::string SyncManager::enqueue(SyncJob job) {
  if (job.id.empty()) job.id = newUuid();
  if (job.createdAt == 0) job.createdAt = setup_.clock();
  job.state = JobState::kQueued;
  job.errorMessage.reset();
  const std::string id = job.id;
  jobs_.push_back(std::move(job));
  save({id});
  pump();
  return id;
}

std::optional<std::string> SyncManager::enqueueScheduledRun(const std::string& templateId,
                                                            std::time_t slot) {
  SyncJob* source = findMutable(templateId);
  if (!source) return std::nullopt;
  SyncJob updated = *source;
  updated.lastScheduledRun = slot;
  SyncJob run = *source;
  run.id = newUuid();
  run.state = JobState::kQueued;
  run.createdAt = setup_.clock();
  run.progress = {};
  run.startedAt.reset();
  run.completedAt.reset();
  run.errorMessage.reset();
  run.schedule.reset();
  run.lastScheduledRun.reset();
  run.isScheduledInstance = true;
  // A baseline re-established on every run would overwrite one side each time.
  run.bisyncResync = false;
  // Under the list's lock: another Brimvale running the schedules may have
  // started this slot since this one read the list.
  std::optional<std::time_t> startedElsewhere;
  auto written = file_.update([&](std::vector<SyncJob>& disk) {
    auto it = std::find_if(disk.begin(), disk.end(),
                           [&](const SyncJob& j) { return j.id == templateId; });
    if (it != disk.end() && it->lastScheduledRun >= slot) {
      startedElsewhere = it->lastScheduledRun;
      return;
    }
    if (it != disk.end()) {
      *it = updated;
    } else {
      disk.push_back(updated);
    }
    disk.push_back(run);
  });
  if (startedElsewhere) {
    source->lastScheduledRun = startedElsewhere;
    return std::nullopt;
  }
  // A list that cannot be written stays correct in memory; the next change
  // tries again.
  if (!written) setup_.log("", "Couldn't save the transfer list: " + written.error().message());
  *source = std::move(updated);
  const std::string id = run.id;
  jobs_.push_back(std::move(run));
  pump();
  return id;
}

void SyncManager::adoptSchedules(const std::vector<SyncJob>& onDisk) {
  std::vector<std::string> changed;
  for (const auto& stored : onDisk) {
    SyncJob* job = findMutable(stored.id);
    if (!job) continue;
    const auto last = std::max(job->lastScheduledRun, stored.lastScheduledRun);
    if (job->schedule == stored.schedule && job->lastScheduledRun == last) continue;
    job->schedule = stored.schedule;
    job->lastScheduledRun = last;
    changed.push_back(job->id);
  }
  if (!changed.empty()) save(changed);
}

void SyncManager::pump() {
  auto active = [&] {
    return std::count_if(jobs_.begin(), jobs_.end(),
                         [](const SyncJob& j) { return isActive(j.state); });
  };
  for (auto& job : jobs_) {
    if (active() >= kMaxConcurrent) break;
    if (job.state == JobState::kQueued && setup_.mayStart(job)) start(job);
  }
}

SyncManager::Claim SyncManager::claim(SyncJob& job, JobState next) {
  // Under the list's lock: the job must still be queued on disk, so two
  // processes never start the same job; the run record goes in before the
  // lock is given up, so nobody takes the claimed job for an orphan.
  bool claimed = false;
  std::optional<SyncJob> theirs;
  auto written = file_.update([&](std::vector<SyncJob>& disk) {
    auto it =
        std::find_if(disk.begin(), disk.end(), [&](const SyncJob& j) { return j.id == job.id; });
    if (it != disk.end() && it->state != JobState::kQueued) {
      theirs = *it;
      return;
    }
    claimed = true;
    job.state = next;
    if (next == JobState::kPreparing) {
      job.startedAt = setup_.clock();
      job.completedAt.reset();
      job.errorMessage.reset();
      job.progress = {};
      writeRun(job.id);
    }
    if (it != disk.end()) {
      *it = job;
    } else {
      disk.push_back(job);
    }
  });
  if (!written) {
    setup_.log("", "Couldn't save the transfer list: " + written.error().message());
    if (claimed) dropRun(job.id);
    // A job that cannot be recorded as running is not started, and says so
    // rather than waiting in the queue for ever.
    job.state = JobState::kFailed;
    job.completedAt = setup_.clock();
    job.errorMessage = "Brimvale couldn't save the transfer list (" + written.error().message() +
                       "), so the transfer was not started. Nothing was copied or deleted; free "
                       "some space on this computer and start it again.";
    return Claim::kUnsaved;
  }
  if (theirs) job = *theirs;
  return claimed ? Claim::kClaimed : Claim::kTakenElsewhere;
}

void SyncManager::start(SyncJob& job) {
  if (continueHere(job)) return;
  const DriveState drive = setup_.drive();
  Running run;
  if (const auto sides = driveSides(job, drive.mountPath); !sides.empty()) {
    // The service's word alone is not enough: the drive must be mounted there now.
    if (drive.mounted) run.anchor = TransferAnchor::take(drive.mountPath, sides);
    if (!run.anchor) {
      (void)claim(job, JobState::kWaitingForDrive);  // a failed claim marks the job itself
      return;
    }
  }
  // A job that has a start time but is starting again never finished its
  // earlier run: its owner was killed, or it failed or paused mid-file.
  const bool interrupted = job.startedAt.has_value();
  run.sourceSeen = reachedAt(job.source);
  if (claim(job, JobState::kPreparing) != Claim::kClaimed) return;
  stopPoint("transfer:anchored");
  launch(job, std::move(run), interrupted);
}

void SyncManager::launch(SyncJob& job, Running run, bool interrupted) {
  const std::string id = job.id;
  if (run.anchor && !run.anchor->holds()) return driveLost(job, std::move(run));
  run.run = nextRun_++;
  RcloneJobCallbacks callbacks{
      .progress = [this, id, round = run.run](
                      const RcloneStats& s) { post({.id = id, .run = round, .stats = s}); },
      .logLine =
          [this, id, round = run.run](const std::string& line) {
            if (!parseStatsLine(line)) post({.id = id, .run = round, .logLine = line});
          },
      .exited = [this, id, round = run.run](
                    int status) { post({.id = id, .run = round, .exitStatus = status}); },
  };
  RcloneJobParameters parameters = job.rcloneParameters();
  // rclone's move deletes each source file itself, unchecked: a move is a
  // copy here, and its source goes file by file once the copy is verified.
  if (parameters.mode == JobMode::kMove) parameters.mode = JobMode::kCopy;
  // A run after an interrupted one replaces what that left cut short; a
  // move's first copy replaces whatever differs at the destination, since
  // its source goes. Either keeps each file it replaces beside it. Later
  // rounds only bring over files changed since (newer than their copy).
  if (interrupted || (job.mode == JobMode::kMove && run.round == 1)) {
    parameters.rerunSuffix = rerunSuffixAt(setup_.clock());
  }
  if (run.round == 1) run.copyStarted = std::chrono::system_clock::now();
  auto child = startRcloneJob(setup_.rclone, rcloneJobArguments(parameters, setup_.remoteType),
                              std::move(callbacks), setup_.run);
  if (!child) {
    job.state = JobState::kFailed;
    job.completedAt = setup_.clock();
    job.errorMessage = child.error().detail;
    save({id});
    dropRun(id);
    setup_.notify(std::string(kTransferFailed));
    return;
  }
  run.child = std::move(*child);
  if (run.anchor) {
    run.watch =
        std::jthread([anchor = *run.anchor, rclone = run.child.get()](std::stop_token stop) {
          std::mutex mutex;
          std::condition_variable_any wake;
          std::unique_lock lock(mutex);
          while (!stop.stop_requested()) {
            wake.wait_for(lock, stop, kDriveCheckEvery, [] { return false; });
            if (!stop.stop_requested() && !anchor.holds()) return rclone->kill();
          }
        });
  }
  running_[id] = std::move(run);
  job.state = JobState::kRunning;
  writeRun(id);
  save({id});
  stopPoint("transfer:started");
}

void SyncManager::post(Report report) {
  // A log line alone (one per file copied) waits for the next sample or exit
  // rather than waking the owner each time.
  const bool wake = report.stats || report.exitStatus;
  {
    std::lock_guard lock(inboxMutex_);
    inbox_.push_back(std::move(report));
  }
  if (wake) inboxChanged_.notify_all();
}

void SyncManager::waitForActivity(std::chrono::milliseconds timeout) {
  std::unique_lock lock(inboxMutex_);
  inboxChanged_.wait_for(lock, timeout, [&] { return !inbox_.empty(); });
}

bool SyncManager::poll() {
  if (std::chrono::steady_clock::now() - lastRefresh_ >= kRefreshEvery) refresh();
  std::vector<Report> reports;
  {
    std::lock_guard lock(inboxMutex_);
    reports.swap(inbox_);
  }
  bool changed = false;
  for (auto& report : reports) {
    auto it = running_.find(report.id);
    // Reports of a run that pause or cancel already ended mean nothing now.
    if (it == running_.end() || it->second.run != report.run) continue;
    SyncJob* job = findMutable(report.id);
    if (!job) continue;
    if (report.logLine) {
      setup_.log(job->id, *report.logLine);
      auto& lines = it->second.lastLines;
      lines.push_back(logLineText(*report.logLine));
      if (lines.size() > kFailureLines) lines.pop_front();
    }
    if (report.stats) {
      job->progress = progressFrom(*report.stats);
      const JobProgress& earlier = it->second.earlier;
      job->progress.bytesTransferred += earlier.bytesTransferred;
      job->progress.bytesTotal += earlier.bytesTotal;
      job->progress.filesTransferred += earlier.filesTransferred;
      job->progress.filesTotal += earlier.filesTotal;
      if (std::chrono::steady_clock::now() - lastRunWrite_[job->id] >= kRunWriteEvery) {
        writeRun(job->id);
      }
      changed = true;
    }
    if (report.exitStatus) {
      Running done = std::move(it->second);
      running_.erase(it);  // its thread has finished with the exit report
      const std::string id = job->id;
      if (job->state == JobState::kRunning) finish(*job, *report.exitStatus, std::move(done));
      // The run record goes only once the job's end is saved (and no further
      // round of it started): a running job without one reads back as queued,
      // and another process would start it again, even while its source is purged.
      if (!running_.contains(id)) dropRun(id);
      changed = true;
    }
  }
  if (changed) pump();
  return changed;
}

void SyncManager::finish(SyncJob& job, int status, Running done) {
  done.watch = {};  // rclone has ended
  // Whatever rclone said, its writes may have gone to the bare mount point.
  if (done.anchor && !done.anchor->holds()) return driveLost(job, std::move(done));
  if (status != 0) {
    job.completedAt = setup_.clock();
    job.state = JobState::kFailed;
    const std::vector<std::string> lastLines(done.lastLines.begin(), done.lastLines.end());
    job.errorMessage = jobFailureText(status, lastLines, {job.source, job.destination});
    save({job.id});
    setup_.notify(std::string(kTransferFailed));
    return;
  }
  stopPoint("transfer:copied");
  if (const auto now = reachedAt(job.source); done.sourceSeen && now != done.sourceSeen) {
    job.completedAt = setup_.clock();
    job.state = JobState::kFailed;
    job.errorMessage = job.source + (now ? " was replaced by something else" : " went away") +
                       " while it was being transferred, so Brimvale can't say what was copied. "
                       "Brimvale deleted nothing of it; look at it, then run the transfer again.";
    save({job.id});
    setup_.notify(std::string(kTransferFailed));
    return;
  }
  const bool purges = job.postSuccessAction == PostSuccessAction::kPurgeSource &&
                      job.mode != JobMode::kMove && !job.dryRun;
  if ((job.mode == JobMode::kMove && !job.dryRun) || purges)
    return settleSource(job, std::move(done));
  complete(job);
}

void SyncManager::complete(SyncJob& job) {
  job.completedAt = setup_.clock();
  job.state = JobState::kCompleted;
  save({job.id});
  recordTransfer(job);
  setup_.notify(job.progress.bytesTransferred > 0 && !job.dryRun
                    ? std::string(kTransferFinishedOfPrefix) +
                          platform::formatFileByteCount(job.progress.bytesTransferred) + "."
                    : std::string(kTransferFinished));
}

void SyncManager::settleSource(SyncJob& job, Running done) {
  const bool purge = job.mode != JobMode::kMove;
  const std::string id = job.id;
  auto purgeFailed = [&](const std::string& why) {
    setup_.log(id, std::string(kPurgeFailedPrefix) + why);
  };
  if (purge && done.round == 1) setup_.log(id, std::string(kPurgeStartPrefix) + job.source);
  // Both sides of a bidirectional sync are the user's working copies.
  if (purge && job.mode == JobMode::kBisync) {
    const std::string why = "a " + std::string(jobModeLabel(job.mode)) +
                            " transfer keeps both sides. Nothing was deleted.";
    complete(job);
    return purgeFailed(why);
  }
  const SourceLeft left = removeSource(job, done);
  if (left.driveLost) return driveLost(job, std::move(done));
  if (left.refused.empty() && left.files.empty()) {
    complete(job);
    if (purge) setup_.log(id, std::string(kPurgeSucceeded));
    return;
  }
  if (left.refused.empty() && left.copyAgain && done.round < kCopyRounds) {
    Running again;
    again.round = done.round + 1;
    again.copyStarted = done.copyStarted;
    again.earlier = job.progress;
    again.sourceFilesRemoved = done.sourceFilesRemoved;
    again.anchor = std::move(done.anchor);
    again.sourceSeen = done.sourceSeen;
    return launch(job, std::move(again), false);
  }
  const std::string why = !left.refused.empty()
                              ? "The files were copied to " + job.destination +
                                    " and checked, but " + job.source + " was kept: " + left.refused
                              : leftText(job, left.files);
  if (purge) {
    complete(job);
    return purgeFailed(why);
  }
  job.completedAt = setup_.clock();
  job.state = JobState::kFailed;
  job.errorMessage = why;
  save({id});
  setup_.notify(std::string(kTransferFailed));
}

SyncManager::SourceLeft SyncManager::removeSource(const SyncJob& job, Running& done) {
  SourceLeft left;
  if (!setup_.client) {
    left.refused = std::string(kPurgeUnverified);
    return left;
  }
  if (!isRemotePath(job.source)) {
    if (!setup_.deletable) {
      left.refused =
          "Brimvale deletes local files only from the folders it looks after. Nothing "
          "was changed.";
      return left;
    }
    if (auto allowed = setup_.deletable->check(job.source); !allowed) {
      left.refused = allowed.error().sentence();
      return left;
    }
  }
  // Checked once more right before: a copy on a drive that went is no copy.
  if (done.anchor && !done.anchor->holds()) {
    left.driveLost = true;
    return left;
  }
  const GuardedRemoval removal = removeTransferredSource(
      *setup_.client,
      {.source = job.source, .destination = job.destination, .copyStarted = done.copyStarted},
      *setup_.ops);
  done.sourceFilesRemoved += removal.removed;
  stopPoint("transfer:source-removed");
  if (done.anchor && !done.anchor->holds()) {
    left.driveLost = true;
    return left;
  }
  left.files = removal.leftBehind();
  left.copyAgain = !removal.changed.empty();
  if (removal.complete() && sourceEmptied(*setup_.client, job.source) != true) {
    // Files that came after the walk, or a source that could not be looked at.
    left.files.push_back(job.source);
    left.copyAgain = true;
  }
  return left;
}

void SyncManager::driveLost(SyncJob& job, Running done) {
  // Ends rclone (it may still be writing), and waits for it to be gone
  // before looking at what it wrote.
  done.watch = {};
  if (done.child) done.child->kill();
  done.child.reset();
  const auto stranded = done.anchor ? done.anchor->clearStranded(job) : std::nullopt;
  job.state = JobState::kWaitingForDrive;
  job.errorMessage = driveLostText(job, done.sourceFilesRemoved, stranded);
  save({job.id});
  dropRun(job.id);
  setup_.notify(std::string(kTransferFailed));
}

void SyncManager::recordTransfer(const SyncJob& job) {
  if (!setup_.events || job.dryRun || job.progress.bytesTransferred <= 0) return;
  const auto direction = isRemotePath(job.source) ? transfers::TransferDirection::kIn
                                                  : transfers::TransferDirection::kOut;
  if (auto appended = setup_.events->append({.ts = setup_.clock(),
                                             .service = transfers::TransferService::kCloudSync,
                                             .direction = direction,
                                             .bytes = job.progress.bytesTransferred});
      !appended) {
    setup_.log(job.id,
               "Couldn't record the transfer in the history: " + appended.error().message());
  }
}

void SyncManager::stopChild(const std::string& id) {
  // Destroying the handle ends rclone's process group and waits for it.
  running_.erase(id);
}

Result<void> SyncManager::pause(const std::string& id) {
  refresh();
  SyncJob* job = findMutable(id);
  if (!job) return fail(Errc::kNotFound, "There is no transfer with the id " + id + ".");
  if (!isActive(job->state)) {
    return fail(Errc::kInvalidArgument, "Only a running transfer can be paused; this one is " +
                                            std::string(jobStateLabel(job->state)) + ".");
  }
  job->state = JobState::kPaused;
  suspendHere(id);
  save({id});
  pump();
  return {};
}

void SyncManager::suspendHere(const std::string& id) {
  auto it = running_.find(id);
  if (it == running_.end()) return;
  it->second.child->suspend();
  writeRun(id);
}

bool SyncManager::continueHere(SyncJob& job) {
  auto it = running_.find(job.id);
  if (it == running_.end()) return false;
  it->second.child->proceed();
  job.state = JobState::kRunning;
  writeRun(job.id);
  save({job.id});
  return true;
}

Result<void> SyncManager::resume(const std::string& id) {
  refresh();
  SyncJob* job = findMutable(id);
  if (!job) return fail(Errc::kNotFound, "There is no transfer with the id " + id + ".");
  if (job->state != JobState::kPaused) {
    return fail(Errc::kInvalidArgument, "Only a paused transfer can be resumed; this one is " +
                                            std::string(jobStateLabel(job->state)) + ".");
  }
  // Queued for a free slot; its suspended rclone, when this process has
  // one, then continues where it stopped, else the job runs again.
  job->state = JobState::kQueued;
  save({id});
  pump();
  return {};
}

Result<void> SyncManager::cancel(const std::string& id) {
  refresh();
  SyncJob* job = findMutable(id);
  if (!job) return fail(Errc::kNotFound, "There is no transfer with the id " + id + ".");
  if (isFinished(job->state)) {
    return fail(Errc::kInvalidArgument, "This transfer has already ended (" +
                                            std::string(jobStateLabel(job->state)) + ").");
  }
  if (job->state == JobState::kWaitingForDrive) job->errorMessage = kCancelledWhileWaiting;
  job->state = JobState::kCanceled;
  job->completedAt = setup_.clock();
  const bool owned = running_.contains(id);
  stopChild(id);
  if (owned) dropRun(id);
  save({id});
  setup_.notify(std::string(kTransferCancelled));
  pump();
  return {};
}

std::size_t SyncManager::cancelAllWaitingForDrive() {
  refresh();
  std::vector<std::string> waiting;
  for (auto& job : jobs_) {
    if (job.state != JobState::kWaitingForDrive) continue;
    job.errorMessage = kCancelledWhileWaiting;
    job.state = JobState::kCanceled;
    job.completedAt = setup_.clock();
    waiting.push_back(job.id);
  }
  if (waiting.empty()) return 0;
  save(waiting);
  for (std::size_t i = 0; i < waiting.size(); ++i) setup_.notify(std::string(kTransferCancelled));
  return waiting.size();
}

std::vector<std::string> SyncManager::removeFinished() {
  refresh();
  // A scheduled job is the template its runs are copied from.
  const auto removable = [](const SyncJob& j) {
    const bool scheduled =
        j.schedule && !j.isScheduledInstance &&
        scheduleFromJson(*j.schedule).value_or(Schedule{}).kind != ScheduleKind::kNone;
    return isFinished(j.state) && !scheduled;
  };
  std::vector<std::string> finished;
  for (const auto& job : jobs_) {
    if (removable(job)) finished.push_back(job.id);
  }
  std::erase_if(jobs_, removable);
  if (!finished.empty()) save(finished);
  return finished;
}

void SyncManager::driveReturned() {
  // A drive is back when something is mounted at its path, not when the
  // bare mount-point folder is there.
  const DriveState drive = setup_.drive();
  if (!drive.mounted || drive.mountPath.empty() || !MountAnchor::take(drive.mountPath)) return;
  std::vector<std::string> waiting;
  for (auto& job : jobs_) {
    if (job.state == JobState::kWaitingForDrive) {
      job.state = JobState::kQueued;
      waiting.push_back(job.id);
    }
  }
  if (waiting.empty()) return;
  save(waiting);
  pump();
}

}  // namespace brimvale::cloud
