// One transfer job as the user created it, its live progress, and the job
// list file (sync/jobs.json) that keeps every job across launches.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/rclone_job.h"
#include "common/base/error.h"
#include "common/base/file_operations.h"
#include "common/base/raw_names.h"
#include "common/base/uuid.h"

namespace brimvale::cloud {

// Persisted by raw string, in this order; never renumber.
enum class JobState {
  kQueued,
  kPreparing,
  kRunning,
  kPaused,
  kCompleted,
  kFailed,
  kCanceled,
  kWaitingForDrive,
};
inline constexpr std::array<RawName<JobState>, 8> kJobStateNames{{
    {JobState::kQueued, "queued"},
    {JobState::kPreparing, "preparing"},
    {JobState::kRunning, "running"},
    {JobState::kPaused, "paused"},
    {JobState::kCompleted, "completed"},
    {JobState::kFailed, "failed"},
    {JobState::kCanceled, "canceled"},
    {JobState::kWaitingForDrive, "waiting_for_drive"},
}};
[[nodiscard]] std::string_view jobStateName(JobState state);
[[nodiscard]] std::optional<JobState> jobStateNamed(std::string_view name);
// What the job list shows: "Queued", ..., "Waiting for drive".
[[nodiscard]] std::string_view jobStateLabel(JobState state);
// Completed, failed or canceled: nothing more will happen to the job.
[[nodiscard]] bool isFinished(JobState state);
// Preparing or running: the job holds one of the manager's slots.
[[nodiscard]] bool isActive(JobState state);

// The display name and the sentence of the New Transfer sheet for each mode.
[[nodiscard]] std::string_view jobModeLabel(JobMode mode);

enum class PostSuccessAction { kNone, kPurgeSource };
inline constexpr std::array<RawName<PostSuccessAction>, 2> kPostSuccessActionNames{{
    {PostSuccessAction::kNone, "none"},
    {PostSuccessAction::kPurgeSource, "purgeSource"},
}};

struct JobProgress {
  std::int64_t bytesTransferred = 0;
  std::int64_t bytesTotal = 0;
  std::int64_t filesTransferred = 0;
  std::int64_t filesTotal = 0;
  double speedBytesPerSec = 0;
  std::optional<double> etaSeconds;
  std::optional<std::string> currentFile;
  std::int64_t errors = 0;
  bool operator==(const JobProgress&) const = default;
};

// The progress one statistics sample describes. The ETA is the bytes still
// to go over the current speed; none while the speed or the total is unknown.
[[nodiscard]] JobProgress progressFrom(const RcloneStats& stats);

[[nodiscard]] nlohmann::json encodeProgress(const JobProgress& progress);
// Missing or mistyped keys take their defaults.
[[nodiscard]] JobProgress decodeProgress(const nlohmann::json& progress);

struct SyncJob {
  std::string id;  // upper-case UUID
  std::string source;
  std::string destination;
  JobMode mode = JobMode::kCopy;
  JobState state = JobState::kQueued;
  JobProgress progress;
  std::time_t createdAt = 0;
  std::optional<std::time_t> startedAt;
  std::optional<std::time_t> completedAt;
  std::optional<std::string> errorMessage;
  int transfers = 8;
  int checkers = 8;
  std::optional<std::string> bandwidthLimit;
  bool dryRun = false;
  bool bisyncResync = false;
  // The job's repeat schedule, carried through unchanged by this unit.
  std::optional<nlohmann::json> schedule;
  std::optional<std::time_t> lastScheduledRun;
  bool isScheduledInstance = false;
  PostSuccessAction postSuccessAction = PostSuccessAction::kNone;

  [[nodiscard]] RcloneJobParameters rcloneParameters() const;
  bool operator==(const SyncJob&) const = default;
};

// A queued job with a fresh id, created `now`.
// The job whose id starts with `prefix` (any case); none when no job or
// more than one does.
[[nodiscard]] const SyncJob* jobWithPrefix(const std::vector<SyncJob>& jobs,
                                           std::string_view prefix);
[[nodiscard]] SyncJob newSyncJob(std::string source, std::string destination, JobMode mode,
                                 std::time_t now);

[[nodiscard]] nlohmann::json encodeSyncJob(const SyncJob& job);
// Nothing for an entry without an id, either side, a known mode and state, or
// a creation date; other missing keys take their defaults.
[[nodiscard]] std::optional<SyncJob> decodeSyncJob(const nlohmann::json& entry);

// The job list file, shared by every Brimvale process: changes go through
// update(), which holds the lock file "{file}.lock" from reading to the
// atomic rename, so two processes never lose each other's records. One
// object is not thread-safe.
class JobListFile {
 public:
  explicit JobListFile(std::filesystem::path file, FileOperations& ops = FileOperations::real());

  // The jobs in file order; none when the file is missing. Entries that do
  // not decode are added to the side file (see unreadableFile()) and left
  // out; a file that is not a JSON array is renamed aside first, so nothing
  // the user had is ever overwritten. A job that was preparing or running
  // comes back queued unless the process running it is still alive (see
  // JobRunFiles): otherwise its rclone is gone.
  [[nodiscard]] Result<std::vector<SyncJob>> load();
  // Rewrites the whole file atomically. Only for a list nobody else shares
  // (tests, a fresh file); shared changes use update().
  [[nodiscard]] Result<void> save(const std::vector<SyncJob>& jobs);
  // Under the lock: reads the list as it is now, lets `change` edit it, and
  // writes it back. Returns the list as written; nothing is written when
  // reading fails.
  [[nodiscard]] Result<std::vector<SyncJob>> update(
      const std::function<void(std::vector<SyncJob>&)>& change);

  [[nodiscard]] const std::filesystem::path& file() const { return file_; }
  // "{file}.unreadable.json": a JSON array of the entries load() skipped.
  [[nodiscard]] std::filesystem::path unreadableFile() const;

 private:
  [[nodiscard]] Result<void> keepUnreadable(const std::vector<nlohmann::json>& entries);

  std::filesystem::path file_;
  FileOperations& ops_;
};

}  // namespace brimvale::cloud
