// Which process runs a transfer job and how far it has got: one small file
// per running job beside the job list, so other Brimvale processes can watch
// it and tell a live run from one whose process has died.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "cloud/sync_job.h"
#include "common/base/error.h"

namespace brimvale::cloud {

struct JobRun {
  int ownerPid = 0;
  // The owner's start time in clock ticks since boot: a recycled process id
  // has another one.
  std::int64_t ownerStart = 0;
  int rclonePid = 0;  // 0 until rclone has started
  JobProgress progress;
  std::time_t updatedAt = 0;
  bool operator==(const JobRun&) const = default;
};

// The start time of process `pid` in clock ticks since boot; nothing when
// there is no such process.
[[nodiscard]] std::optional<std::int64_t> processStartTicks(int pid);

// Whether process `pid` is stopped by a signal (a paused rclone).
[[nodiscard]] bool processSuspended(int pid);

// A run record of this process, with `rclonePid` and `progress`.
[[nodiscard]] JobRun runOfThisProcess(int rclonePid, const JobProgress& progress, std::time_t now);

// Whether the process that wrote `run` is still the same running process.
[[nodiscard]] bool ownerAlive(const JobRun& run);

// The run files of one job list: `{folder}/{job id}.json`.
class JobRunFiles {
 public:
  explicit JobRunFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}
  // Next to the job list file: `{jobs.json's folder}/runs`.
  [[nodiscard]] static JobRunFiles besideJobList(const std::filesystem::path& jobsFile);

  // Atomic; creates the folder (0700) when needed.
  [[nodiscard]] Result<void> write(const std::string& jobId, const JobRun& run) const;
  // Nothing when there is no readable record.
  [[nodiscard]] std::optional<JobRun> read(const std::string& jobId) const;
  void remove(const std::string& jobId) const;
  // A record whose owner is alive; nothing otherwise.
  [[nodiscard]] std::optional<JobRun> liveRun(const std::string& jobId) const;

 private:
  [[nodiscard]] std::filesystem::path fileOf(const std::string& jobId) const;
  std::filesystem::path folder_;
};

}  // namespace brimvale::cloud
