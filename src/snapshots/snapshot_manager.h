// The local snapshot manager: lists, deletes and thins the startup volume's
// restore points and reports the backup destination, by running the
// restore-point tool with a deadline per command.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"
#include "common/base/timestamps.h"
#include "snapshots/snapshot_tool_output.h"

namespace brimvale::snapshots {

// Persisted by the application under this key (seconds since the epoch,
// floating point) after every successful thinning.
inline constexpr std::string_view kLastReclaimAtEpochKey = "brimvale.snapshots.lastReclaimAtEpoch";
// The background-job ledger's job name and summary for a successful thinning.
inline constexpr std::string_view kLedgerJob = "local_snapshots";
inline constexpr std::string_view kThinningLedgerSummary =
    "Tidied old restore points to free up space.";
// What the free-space routines ask for: everything, at the most aggressive level.
inline constexpr std::int64_t kReclaimAllBytes = 100'000'000'000;
inline constexpr int kMostUrgent = 4;

enum class SnapshotErrorKind {
  kCommandFailed,
  kTimedOut,
  kInvalidIdentifier,
  kProtectedSnapshot,
  kToolMissing,
  kUnavailable,
};

struct SnapshotManagerError {
  SnapshotErrorKind kind = SnapshotErrorKind::kToolMissing;
  // "tmutil " + arguments (command failed, timed out); the rejected
  // identifier (invalid identifier); the snapshot name (protected snapshot).
  std::string subject;
  std::int32_t status = 0;  // command failed: the tool's exit status
  std::string errorOutput;  // command failed: what the tool wrote to stderr

  // "command-failed", "timed-out", "invalid-identifier",
  // "protected-snapshot", "tool-missing", "unavailable".
  [[nodiscard]] std::string_view id() const;
  // The sentence the user sees.
  [[nodiscard]] std::string description() const;
};

template <class T>
using SnapshotResult = std::expected<T, SnapshotManagerError>;

// "tmutil " followed by the arguments joined with single blanks.
[[nodiscard]] std::string commandText(const std::vector<std::string>& args);

struct SnapshotTimeouts {
  std::chrono::milliseconds list{10'000};
  std::chrono::milliseconds remove{15'000};
  std::chrono::milliseconds thin{60'000};
  std::chrono::milliseconds destination{15'000};
  std::chrono::milliseconds latestBackup{10'000};
  // Between terminating an overrunning tool and force-killing it.
  std::chrono::milliseconds killGrace{1'000};
};

struct SnapshotToolConfig {
  // Absolute path of the tool. Empty means this system keeps no local
  // snapshots (every command fails with kUnavailable, running nothing); a
  // path that is not an executable file means the tool is missing
  // (kToolMissing).
  std::string toolPath;
  SnapshotTimeouts timeouts;
  ProcessRunner run;  // how the tool runs
};

// "/usr/bin/tmutil" on macOS; empty elsewhere, where no such tool exists.
[[nodiscard]] std::string defaultSnapshotToolPath();

// Where a successful thinning is remembered. The application wires it to its
// user-defaults store and the background-job ledger.
class ThinningRecorder {
 public:
  virtual ~ThinningRecorder() = default;
  // Stores `epochSeconds` under kLastReclaimAtEpochKey.
  virtual void rememberLastReclaim(double epochSeconds) = 0;
  // Records one finished run of `job` in the background-job ledger.
  virtual void recordLedgerRun(std::string_view job, std::string_view summary) = 0;
};

// The startup volume's capacity figures, each absent when the platform does
// not supply it (Linux has no important-usage figure).
struct StartupCapacity {
  std::optional<std::int64_t> available;
  std::optional<std::int64_t> availableForImportantUsage;
};
using CapacityReader = std::function<StartupCapacity()>;

// Every call blocks until its tool run ends or its deadline passes, so the
// application calls it from a worker thread and posts the result back to its
// run loop. One instance may serve one caller at a time.
class SnapshotManager {
 public:
  // `recorder` must outlive the manager.
  SnapshotManager(SnapshotToolConfig config, ThinningRecorder& recorder, CapacityReader capacity,
                  WallClock clock = systemClock());

  // `tmutil listlocalsnapshots /`.
  [[nodiscard]] SnapshotResult<std::vector<LocalSnapshot>> listLocalSnapshots();
  // `tmutil deletelocalsnapshots {stamp}` once `stamp` passes deleteRefusal;
  // a refused identifier never reaches the tool.
  [[nodiscard]] SnapshotResult<void> deleteSnapshot(std::string_view stamp);
  // `tmutil thinlocalsnapshots / {bytes} {urgency}` (see thinArguments). On
  // success remembers the time and records the ledger run; a failed thinning
  // records nothing.
  [[nodiscard]] SnapshotResult<void> thinLocalSnapshots(std::int64_t bytes, int urgency);
  // `tmutil destinationinfo`; absent when no destination is configured.
  [[nodiscard]] SnapshotResult<std::optional<TimeMachineDestination>> destinationInfo();
  // `tmutil latestbackup -d {mountPoint}`; absent when the tool prints nothing.
  [[nodiscard]] SnapshotResult<std::optional<LatestBackup>> latestBackup(
      const std::string& mountPoint);
  // Bytes the system keeps purgeable (see purgeableBytes). Runs no tool.
  [[nodiscard]] std::int64_t purgeableEstimate() const;
  // False where this system keeps no local snapshots at all.
  [[nodiscard]] bool available() const { return !config_.toolPath.empty(); }

 private:
  [[nodiscard]] SnapshotResult<std::string> run(std::vector<std::string> args,
                                                std::chrono::milliseconds deadline) const;

  SnapshotToolConfig config_;
  ThinningRecorder& recorder_;
  CapacityReader capacity_;
  WallClock clock_;
};

}  // namespace brimvale::snapshots
