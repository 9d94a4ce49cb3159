#include "cloud/sync_manager.h"

#include <algorithm>

#include "platform/byte_count_format.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFailureLines = 5;

bool isUnder(const fs::path& path, const fs::path& root) {
  auto p = path.lexically_normal();
  auto r = root.lexically_normal();
  if (!r.empty() && r.filename().empty()) r = r.parent_path();  // "/mnt/x/" -> "/mnt/x"
  return std::mismatch(r.begin(), r.end(), p.begin(), p.end()).first == r.end();
}

}  // namespace

std::string rerunSuffixAt(std::time_t now) {
  std::string stamp = isots(now);
  std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
  return ".kept-" + stamp;
}

bool needsDrive(const SyncJob& job, const std::string& mountPath) {
  if (mountPath.empty()) return false;
  for (const auto* side : {&job.source, &job.destination}) {
    if (!isRemotePath(*side) && isUnder(*side, mountPath)) return true;
  }
  return false;
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
  source->lastScheduledRun = slot;
  SyncJob run = *source;
  run.id = newUuid();
  run.createdAt = setup_.clock();
  run.progress = {};
  run.startedAt.reset();
  run.completedAt.reset();
  run.schedule.reset();
  run.lastScheduledRun.reset();
  run.isScheduledInstance = true;
  // A baseline re-established on every run would overwrite one side each time.
  run.bisyncResync = false;
  save({templateId});
  return enqueue(std::move(run));
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

bool SyncManager::claim(SyncJob& job, JobState next) {
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
    if (claimed) {
      job.state = JobState::kQueued;
      dropRun(job.id);
    }
    return false;
  }
  if (theirs) job = *theirs;
  return claimed;
}

void SyncManager::start(SyncJob& job) {
  if (continueHere(job)) return;
  const DriveState drive = setup_.drive();
  if (!drive.mounted && needsDrive(job, drive.mountPath)) {
    (void)claim(job, JobState::kWaitingForDrive);
    return;
  }
  // A job that has a start time but is starting again never finished its
  // earlier run: its owner was killed, or it failed or paused mid-file.
  const bool interrupted = job.startedAt.has_value();
  if (!claim(job, JobState::kPreparing)) return;

  const std::uint64_t run = nextRun_++;
  const std::string id = job.id;
  RcloneJobCallbacks callbacks{
      .progress = [this, id,
                   run](const RcloneStats& s) { post({.id = id, .run = run, .stats = s}); },
      .logLine =
          [this, id, run](const std::string& line) {
            if (!parseStatsLine(line)) post({.id = id, .run = run, .logLine = line});
          },
      .exited = [this, id, run](int status) { post({.id = id, .run = run, .exitStatus = status}); },
  };
  RcloneJobParameters parameters = job.rcloneParameters();
  if (interrupted) parameters.rerunSuffix = rerunSuffixAt(setup_.clock());
  auto child = startRcloneJob(setup_.rclone, rcloneJobArguments(parameters, setup_.remoteType),
                              std::move(callbacks));
  if (!child) {
    job.state = JobState::kFailed;
    job.completedAt = setup_.clock();
    job.errorMessage = child.error().detail;
    dropRun(id);
    save({id});
    setup_.notify(std::string(kTransferFailed));
    return;
  }
  running_[id] = Running{.run = run, .child = std::move(*child)};
  job.state = JobState::kRunning;
  writeRun(id);
  save({id});
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
      lines.push_back(*report.logLine);
      if (lines.size() > kFailureLines) lines.pop_front();
    }
    if (report.stats) {
      job->progress = progressFrom(*report.stats);
      if (std::chrono::steady_clock::now() - lastRunWrite_[job->id] >= kRunWriteEvery) {
        writeRun(job->id);
      }
      changed = true;
    }
    if (report.exitStatus) {
      std::vector<std::string> lastLines(it->second.lastLines.begin(), it->second.lastLines.end());
      running_.erase(it);  // its thread has finished with the exit report
      dropRun(job->id);
      if (job->state == JobState::kRunning) finish(*job, *report.exitStatus, lastLines);
      changed = true;
    }
  }
  if (changed) pump();
  return changed;
}

void SyncManager::finish(SyncJob& job, int status, const std::vector<std::string>& lastLines) {
  job.completedAt = setup_.clock();
  if (status != 0) {
    job.state = JobState::kFailed;
    job.errorMessage = jobFailureText(status, lastLines, job.destination);
    save({job.id});
    setup_.notify(std::string(kTransferFailed));
    return;
  }
  job.state = JobState::kCompleted;
  save({job.id});
  recordTransfer(job);
  // The owner may enqueue from its notification callback, which can move
  // every job in the list: the purge works from a copy.
  const SyncJob done = job;
  setup_.notify(done.progress.bytesTransferred > 0
                    ? std::string(kTransferFinishedOfPrefix) +
                          platform::formatFileByteCount(done.progress.bytesTransferred) + "."
                    : std::string(kTransferFinished));
  if (done.postSuccessAction == PostSuccessAction::kPurgeSource && !done.dryRun) {
    purgeSource(done);
  }
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

void SyncManager::purgeSource(const SyncJob& job) {
  setup_.log(job.id, std::string(kPurgeStartPrefix) + job.source);
  auto failed = [&](const std::string& why) {
    setup_.log(job.id, std::string(kPurgeFailedPrefix) + why);
  };
  // A move has already removed what it moved, and both sides of a
  // bidirectional sync are the user's working copies: neither is purged.
  if (job.mode == JobMode::kMove || job.mode == JobMode::kBisync) {
    failed("a " + std::string(jobModeLabel(job.mode)) +
           " transfer keeps its source as rclone left it. Nothing was deleted.");
    return;
  }
  if (!setup_.client) {
    failed(std::string(kPurgeUnverified));
    return;
  }
  auto check = setup_.client->run({"check", job.source, job.destination, "--one-way"});
  if (!check || check->status != 0) {
    failed(std::string(kPurgeUnverified));
    return;
  }
  if (isRemotePath(job.source)) {
    auto purge = setup_.client->run({"purge", job.source});
    if (!purge) return failed(purge.error().message());
    if (purge->status != 0) {
      return failed("rclone purge exited with code " + std::to_string(purge->status) + ": " +
                    purge->err + " The destination copy is complete and safe.");
    }
  } else if (auto removed = setup_.ops->removeAll(job.source); removed) {
    return failed(removed.message() +
                  ". Some of the source may remain; the destination copy is complete and safe.");
  }
  setup_.log(job.id, std::string(kPurgeSucceeded));
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

int SyncManager::cancelAllWaitingForDrive() {
  std::vector<std::string> waiting;
  for (const auto& job : jobs_) {
    if (job.state == JobState::kWaitingForDrive) waiting.push_back(job.id);
  }
  for (const auto& id : waiting) (void)cancel(id);
  return static_cast<int>(waiting.size());
}

void SyncManager::removeFinished() {
  std::vector<std::string> finished;
  for (const auto& job : jobs_) {
    if (isFinished(job.state)) finished.push_back(job.id);
  }
  std::erase_if(jobs_, [](const SyncJob& j) { return isFinished(j.state); });
  save(finished);
}

void SyncManager::driveReturned() {
  const DriveState drive = setup_.drive();
  std::error_code ec;
  if (!drive.mounted || drive.mountPath.empty() || !fs::exists(drive.mountPath, ec)) return;
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
