// The transfer queue: runs at most two jobs at once, one rclone child each,
// pauses, resumes and cancels them, holds jobs that need the external drive
// while it is away, and rewrites the job list after every change of state.
//
// The job list is shared with other Brimvale processes: each change is
// written under the list's lock, only for the jobs it touched, and the list is
// read again while polling, so a pause, resume or cancel asked for in another
// process reaches the process running the job.
//
// Threading: every public method belongs to the owner's thread (the UI
// thread in the window, the main thread in the command line). rclone's
// statistics and exit arrive on each job's own thread; they only go into an
// inbox, and poll() applies them on the owner's thread. waitForActivity()
// lets an owner without an event loop sleep until there is something to poll.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cloud/job_runs.h"
#include "cloud/rclone_client.h"
#include "cloud/rclone_job.h"
#include "cloud/sync_job.h"
#include "cloud/transfer_anchor.h"
#include "common/base/error.h"
#include "common/base/file_operations.h"
#include "common/base/timestamps.h"
#include "common/state/path_policy.h"
#include "transfers/transfer_events.h"

namespace brimvale::cloud {

inline constexpr std::string_view kTransferFinished = "Finished a cloud transfer.";
inline constexpr std::string_view kTransferFinishedOfPrefix = "Finished a cloud transfer of ";
inline constexpr std::string_view kTransferFailed = "A cloud transfer didn't finish.";
inline constexpr std::string_view kTransferCancelled = "A cloud transfer was cancelled.";
inline constexpr std::string_view kCancelledWhileWaiting =
    "Cancelled while waiting for external drive.";
inline constexpr std::string_view kPurgeStartPrefix = "Post-success: purging source at ";
inline constexpr std::string_view kPurgeSucceeded = "Source purged successfully.";
inline constexpr std::string_view kPurgeFailedPrefix = "Source purge failed: ";
inline constexpr std::string_view kPurgeUnverified =
    "the destination could not be shown to hold every file of the source, so the source was "
    "kept. Both copies are safe; compare them before deleting anything.";

// The external drive as the background service last reported it.
struct DriveState {
  std::string mountPath;
  bool mounted = false;
};

// ".kept-20261207T221200Z": what a re-run after an interruption adds to the
// name of each destination file it replaces (no ':' for remotes that refuse it).
[[nodiscard]] std::string rerunSuffixAt(std::time_t now);

struct SyncManagerSetup {
  std::filesystem::path jobsFile;  // ~/.brimvale/sync/jobs.json
  std::optional<std::string> rclone;
  ProcessRunner run;  // how rclone is run
  // Verifies and deletes sources after success; must use the same rclone.
  const RcloneClient* client = nullptr;
  // The folders a transfer may delete local files from (a move's source, a
  // purged source); none: a local source is never deleted.
  std::optional<PathPolicy> deletable;
  RemoteTypeLookup remoteType = [](const std::string&) { return std::optional<std::string>{}; };
  std::function<DriveState()> drive = [] { return DriveState{}; };
  // One user notification (the exact texts above).
  std::function<void(const std::string&)> notify = [](const std::string&) {};
  // One line of a job's own log: rclone's lines and the purge steps.
  std::function<void(const std::string& jobId, const std::string& line)> log =
      [](const std::string&, const std::string&) {};
  // Where finished jobs record the bytes they moved; none to skip.
  transfers::TransferEventStore* events = nullptr;
  // Which queued jobs this owner may start: the command line runs only the
  // job it was asked to, leaving the rest of the queue to the application.
  std::function<bool(const SyncJob&)> mayStart = [](const SyncJob&) { return true; };
  WallClock clock = systemClock();
  FileOperations* ops = &FileOperations::real();
};

class SyncManager {
 public:
  static constexpr int kMaxConcurrent = 2;
  // How often poll() reads the shared list again, and rewrites the progress
  // record other processes watch.
  static constexpr std::chrono::milliseconds kRefreshEvery{500};
  static constexpr std::chrono::milliseconds kRunWriteEvery{1000};
  // How often a job writing to or reading from the drive checks it is still there.
  static constexpr std::chrono::milliseconds kDriveCheckEvery{1000};
  // Copies of a source before the files that keep changing are left where they are.
  static constexpr int kCopyRounds = 3;

  explicit SyncManager(SyncManagerSetup setup);
  // Stops every running rclone; their jobs stay as saved (running jobs come
  // back queued at the next load).
  ~SyncManager();
  SyncManager(const SyncManager&) = delete;
  SyncManager& operator=(const SyncManager&) = delete;

  // Reads the job list back and starts what may start.
  [[nodiscard]] Result<void> load();

  [[nodiscard]] const std::vector<SyncJob>& jobs() const { return jobs_; }
  [[nodiscard]] const SyncJob* find(const std::string& id) const;
  // The child's process id while the job runs; 0 otherwise.
  [[nodiscard]] int childPid(const std::string& id) const;
  // A job runs in this process, or waits in the queue for it.
  [[nodiscard]] bool busy() const;

  // Adds the job as queued and pumps the queue. Returns its id.
  std::string enqueue(SyncJob job);
  // Errors carry the sentence the user reads (unknown id, wrong state).
  [[nodiscard]] Result<void> pause(const std::string& id);
  [[nodiscard]] Result<void> resume(const std::string& id);
  [[nodiscard]] Result<void> cancel(const std::string& id);
  // Cancels every job waiting for the external drive to be reconnected, in
  // one rewrite of the list. Returns how many were cancelled.
  std::size_t cancelAllWaitingForDrive();
  // Drops completed, failed and canceled jobs from the list, except those
  // whose schedule still starts new runs. Returns the ids dropped.
  std::vector<std::string> removeFinished();
  // The service status was read again: when a drive is mounted at its
  // mount path, every waiting job is queued again.
  void driveReturned();

  // A new queued run of job `templateId` with the same parameters, marked as
  // started by a schedule, and the template's lastScheduledRun set to `slot`,
  // in one rewrite of the list. The run's id; nothing for an unknown template
  // or a slot another process started already.
  std::optional<std::string> enqueueScheduledRun(const std::string& templateId, std::time_t slot);
  // Schedules set by another program (the command line) while this one
  // holds the list: each job known here takes its schedule from `onDisk`, and
  // the later of both lastScheduledRun values. Saves only when something changed.
  void adoptSchedules(const std::vector<SyncJob>& onDisk);

  // Applies what rclone reported since the last call; returns whether
  // anything changed.
  bool poll();
  // Sleeps until rclone has reported something or `timeout` has passed.
  void waitForActivity(std::chrono::milliseconds timeout);

 private:
  struct Report {
    std::string id;
    std::uint64_t run = 0;
    std::optional<RcloneStats> stats;
    std::optional<std::string> logLine;
    std::optional<int> exitStatus;
  };
  struct Running {
    std::uint64_t run = 0;
    std::unique_ptr<RcloneJob> child;
    std::deque<std::string> lastLines;  // their messages, as the user reads them
    // Which copy of the source this is (1 to kCopyRounds), when the first
    // began, and the progress of the copies before this one.
    int round = 1;
    std::chrono::system_clock::time_point copyStarted;
    JobProgress earlier;
    std::size_t sourceFilesRemoved = 0;
    // The drive the job began on, when a side of it lies there.
    std::optional<TransferAnchor> anchor;
    // A local source's device and inode when the job began, as rclone reaches it.
    std::optional<std::pair<dev_t, ino_t>> sourceSeen;
    // Ends rclone at once when that drive is gone; stopped first when the run goes.
    std::jthread watch;
  };
  // What deleting the source after a copy left.
  struct SourceLeft {
    std::vector<std::string> files;  // relative to the source; empty: the source is gone
    bool copyAgain = false;          // some changed or are new: another copy may take them
    std::string refused;             // a sentence when the source may not be deleted at all
    bool driveLost = false;
  };
  enum class Claim { kClaimed, kTakenElsewhere, kUnsaved };

  SyncJob* findMutable(const std::string& id);
  // Writes the jobs `ids` (removing the ones no longer in the list) into
  // the shared file, leaving every other job as it is on disk.
  void save(const std::vector<std::string>& ids);
  // Reads the shared list again: jobs others changed are taken over, and a
  // pause or cancel another process asked for ends this process's rclone.
  void refresh();
  // Takes a queued job for this process, moving it to `next`; false when it
  // is no longer queued on disk (the job then shows what the disk holds).
  Claim claim(SyncJob& job, JobState next);
  void writeRun(const std::string& id);
  // Pause and resume of a job whose rclone runs in this process.
  void suspendHere(const std::string& id);
  bool continueHere(SyncJob& job);
  void dropRun(const std::string& id);
  void pump();
  void start(SyncJob& job);
  // Starts rclone for one copy round of `job`.
  void launch(SyncJob& job, Running run, bool interrupted);
  void stopChild(const std::string& id);
  void finish(SyncJob& job, int status, Running done);
  // A copy that moves or purges its source: deletes what the destination
  // holds, copies again what changed, and ends the job.
  void settleSource(SyncJob& job, Running done);
  [[nodiscard]] SourceLeft removeSource(const SyncJob& job, Running& done);
  void complete(SyncJob& job);
  // The drive went while the job used it: rclone is ended, the job waits for
  // the drive and says what happened.
  void driveLost(SyncJob& job, Running done);
  void recordTransfer(const SyncJob& job);
  void post(Report report);

  SyncManagerSetup setup_;
  JobListFile file_;
  std::vector<SyncJob> jobs_;
  std::map<std::string, Running> running_;
  JobRunFiles runs_;
  std::map<std::string, std::chrono::steady_clock::time_point> lastRunWrite_;
  std::chrono::steady_clock::time_point lastRefresh_;
  std::uint64_t nextRun_ = 1;

  std::mutex inboxMutex_;
  std::condition_variable inboxChanged_;
  std::vector<Report> inbox_;
};

}  // namespace brimvale::cloud
