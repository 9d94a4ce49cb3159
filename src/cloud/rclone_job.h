// One transfer as an rclone child process: its argument list, the live
// statistics read from rclone's JSON log, the failure texts, and the running
// child that a caller can stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cloud/rclone_locator.h"
#include "common/base/error.h"

namespace brimvale::cloud {

enum class JobMode { kCopy, kMove, kSyncOneWay, kBisync };

// "copy", "move", "sync_one_way", "bisync": the persisted values.
[[nodiscard]] std::string_view jobModeName(JobMode mode);
[[nodiscard]] std::optional<JobMode> jobModeNamed(std::string_view name);

// The fields of a transfer job that its rclone command depends on.
struct RcloneJobParameters {
  JobMode mode = JobMode::kCopy;
  std::string source;
  std::string destination;
  int transfers = 8;
  int checkers = 8;
  std::optional<std::string> bandwidthLimit;  // rclone --bwlimit syntax
  bool dryRun = false;
  bool bisyncResync = false;
  // Set when an earlier run of this job started and never finished (rclone
  // ended mid-file leaves the file cut short with a newer time than its
  // source), and for a move, whose source is deleted once the destination
  // holds it: a copy or move then replaces differing destination files
  // instead of keeping newer ones, and keeps each file it replaces under its
  // name plus this suffix (it may be the user's own newer file).
  std::optional<std::string> rerunSuffix;
};

// The type of a configured remote ("s3", "drive", ...), or nothing when no
// remote has that name. Called on the caller's thread, once per remote side.
using RemoteTypeLookup = std::function<std::optional<std::string>(const std::string& remote)>;

// The arguments after the program name, in rclone's expected order.
[[nodiscard]] std::vector<std::string> rcloneJobArguments(const RcloneJobParameters& job,
                                                          const RemoteTypeLookup& typeOf);

// One statistics sample of a running job.
struct RcloneStats {
  std::int64_t bytes = 0;
  std::int64_t totalBytes = 0;
  std::int64_t transfers = 0;
  std::int64_t totalTransfers = 0;
  double speed = 0;  // bytes per second
  std::int64_t errors = 0;
  std::optional<std::string> currentFile;
  bool operator==(const RcloneStats&) const = default;
};

// The sample in one line of rclone's JSON log; nothing for a line that is
// not JSON or carries no "stats" object.
[[nodiscard]] std::optional<RcloneStats> parseStatsLine(std::string_view line);

// What a person reads of one log line: the message of a JSON log line, after
// the name of the file it concerns ("a.txt: Copied (new)"); any other line
// without rclone's date and time.
[[nodiscard]] std::string logLineText(std::string_view line);

// One file a dry run reports it would have copied or deleted.
struct DryRunItem {
  std::string action;  // rclone's word: "copy", "delete", "move", ...
  std::string name;    // relative to the side it concerns
  std::int64_t size = 0;
  bool operator==(const DryRunItem&) const = default;
};
[[nodiscard]] std::optional<DryRunItem> parseDryRunLine(std::string_view line);

// The sides a failure sentence names.
struct TransferSides {
  std::string source;
  std::string destination;
};

// The causes of failure rclone's messages name, which get their own sentence.
enum class RcloneProblem { kDiskFull, kQuota, kSignIn, kUnreachable, kSourceMissing };
// The first cause, in the order above, that any of `messages` names.
[[nodiscard]] std::optional<RcloneProblem> rcloneProblemIn(
    const std::vector<std::string>& messages);
[[nodiscard]] std::string rcloneProblemSentence(RcloneProblem problem, const TransferSides& sides);

// One sentence on what went wrong, whether the files are safe and what to
// do, from rclone's exit status and the messages of its last log lines
// (a known cause in the messages wins over the status).
[[nodiscard]] std::string rcloneFailureSentence(int status,
                                                const std::vector<std::string>& messages,
                                                const TransferSides& sides);

// What the user reads when a job exits with a non-zero status: the sentence
// above (or, when the log names a missing S3 bucket and the destination is on
// a remote, how to set the bucket), then the status and the last five
// messages.
[[nodiscard]] std::string jobFailureText(int status, const std::vector<std::string>& messages,
                                         const TransferSides& sides);

struct RcloneJobCallbacks {
  std::function<void(const RcloneStats&)> progress;
  std::function<void(const std::string&)> logLine;
  // The exit status; a child ended by a signal reports minus its number, one
  // that could not start reports -1 after a log line saying why.
  std::function<void(int)> exited;
};

// A running rclone job. Callbacks run on the job's own thread, never
// concurrently with each other; the caller moves them to its own thread.
// Destroying the handle stops the job and waits for its thread.
class RcloneJob {
 public:
  ~RcloneJob();
  RcloneJob(const RcloneJob&) = delete;
  RcloneJob& operator=(const RcloneJob&) = delete;

  // Ends rclone and any children it started (its whole process group),
  // also while suspended. Harmless after the job has ended.
  void cancel();
  // Ends the whole process group at once (SIGKILL), mid-write or not: for a
  // job whose writes would now land in the wrong place.
  void kill();
  // Stops and continues the whole process group where it is: a rclone
  // ended mid-file leaves a truncated file that `--update` then skips as
  // newer, so a pause must not end it.
  void suspend();
  void proceed();
  // The child's process id, once it has started; 0 before or without one.
  [[nodiscard]] int pid() const { return pid_.load(); }
  // Blocks until the exit callback has run.
  void wait();

 private:
  friend Result<std::unique_ptr<RcloneJob>> startRcloneJob(const std::optional<std::string>& rclone,
                                                           std::vector<std::string> args,
                                                           RcloneJobCallbacks callbacks,
                                                           ProcessRunner run);
  RcloneJob() = default;

  std::atomic<int> pid_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

// Whether this rclone knows --partial-suffix (added in rclone 1.63; older
// ones, such as Debian 12's 1.60, refuse every job that carries it). Asked
// once per program path.
[[nodiscard]] bool rcloneTakesPartialSuffix(const std::string& rclone, const ProcessRunner& run);
// `args` without --partial-suffix and its value.
[[nodiscard]] std::vector<std::string> withoutPartialSuffix(std::vector<std::string> args);

// Starts `{rclone} {args}` through `run` with the application's environment
// unchanged.
// Errc::kUnavailable with kRcloneNotInstalled when rclone is not installed.
[[nodiscard]] Result<std::unique_ptr<RcloneJob>> startRcloneJob(
    const std::optional<std::string>& rclone, std::vector<std::string> args,
    RcloneJobCallbacks callbacks, ProcessRunner run);

}  // namespace brimvale::cloud
