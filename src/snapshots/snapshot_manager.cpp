#include "snapshots/snapshot_manager.h"

#include <unistd.h>

#include <array>
#include <filesystem>

#include "common/base/file_calls.h"
#include "common/base/platform_words.h"
#include "common/base/process.h"

namespace brimvale::snapshots {
namespace {

struct ErrorInfo {
  SnapshotErrorKind kind;
  std::string_view id;
};

constexpr std::array kErrorTable{
    ErrorInfo{SnapshotErrorKind::kCommandFailed, "command-failed"},
    ErrorInfo{SnapshotErrorKind::kTimedOut, "timed-out"},
    ErrorInfo{SnapshotErrorKind::kInvalidIdentifier, "invalid-identifier"},
    ErrorInfo{SnapshotErrorKind::kProtectedSnapshot, "protected-snapshot"},
    ErrorInfo{SnapshotErrorKind::kToolMissing, "tool-missing"},
    ErrorInfo{SnapshotErrorKind::kUnavailable, "unavailable"},
};

// A program that could be found but not started gets the status a shell
// would report for it.
constexpr std::int32_t kNotExecutableStatus = 127;

std::unexpected<SnapshotManagerError> refuse(SnapshotErrorKind kind, std::string subject) {
  return std::unexpected(SnapshotManagerError{.kind = kind, .subject = std::move(subject)});
}

}  // namespace

std::string_view SnapshotManagerError::id() const {
  for (const auto& info : kErrorTable) {
    if (info.kind == kind) return info.id;
  }
  return {};
}

std::string SnapshotManagerError::description() const {
  switch (kind) {
    case SnapshotErrorKind::kCommandFailed:
      return "Time Machine command failed (" + std::to_string(status) + "): " + subject + "\n" +
             errorOutput;
    case SnapshotErrorKind::kTimedOut: return "Time Machine command timed out: " + subject;
    case SnapshotErrorKind::kInvalidIdentifier:
      return "Snapshot identifier doesn't match the expected format: " + subject;
    case SnapshotErrorKind::kProtectedSnapshot:
      return "Snapshot " + subject + " is required by macOS and can't be removed.";
    case SnapshotErrorKind::kToolMissing:
      return "Couldn't find /usr/bin/tmutil. Reinstall macOS or check System Integrity "
             "Protection.";
    case SnapshotErrorKind::kUnavailable:
      return "Local snapshots aren't available on this " + std::string(kHostWords.computer) +
             ", so there are none to list, thin or delete.";
  }
  return {};
}

std::string commandText(const std::vector<std::string>& args) {
  std::string text = "tmutil";
  for (const auto& arg : args) text += " " + arg;
  return text;
}

std::string defaultSnapshotToolPath() {
#ifdef __APPLE__
  return "/usr/bin/tmutil";
#else
  return {};
#endif
}

SnapshotManager::SnapshotManager(SnapshotToolConfig config, ThinningRecorder& recorder,
                                 CapacityReader capacity, WallClock clock)
    : config_(std::move(config)),
      recorder_(recorder),
      capacity_(std::move(capacity)),
      clock_(std::move(clock)) {}

SnapshotResult<std::string> SnapshotManager::run(std::vector<std::string> args,
                                                 std::chrono::milliseconds deadline) const {
  if (!available()) return refuse(SnapshotErrorKind::kUnavailable, {});
  if (!isRegularFile(config_.toolPath).value_or(false) ||
      access(config_.toolPath.c_str(), X_OK) != 0) {
    return refuse(SnapshotErrorKind::kToolMissing, {});
  }
  std::string command = commandText(args);
  ProcessResult result = config_.run({.path = config_.toolPath,
                                      .args = std::move(args),
                                      .deadline = deadline,
                                      .killGrace = config_.timeouts.killGrace});
  switch (result.outcome) {
    case ProcessOutcome::kExited:
      if (result.exitCode == 0) return std::move(result.out);
      return std::unexpected(SnapshotManagerError{.kind = SnapshotErrorKind::kCommandFailed,
                                                  .subject = std::move(command),
                                                  .status = result.exitCode,
                                                  .errorOutput = std::move(result.err)});
    case ProcessOutcome::kSignalled:
      return std::unexpected(SnapshotManagerError{.kind = SnapshotErrorKind::kCommandFailed,
                                                  .subject = std::move(command),
                                                  .status = result.signal,
                                                  .errorOutput = std::move(result.err)});
    case ProcessOutcome::kTimedOut: return refuse(SnapshotErrorKind::kTimedOut, std::move(command));
    case ProcessOutcome::kFailedToStart: break;
  }
  return std::unexpected(SnapshotManagerError{.kind = SnapshotErrorKind::kCommandFailed,
                                              .subject = std::move(command),
                                              .status = kNotExecutableStatus,
                                              .errorOutput = std::move(result.launchError)});
}

SnapshotResult<std::vector<LocalSnapshot>> SnapshotManager::listLocalSnapshots() {
  auto output = run({"listlocalsnapshots", "/"}, config_.timeouts.list);
  if (!output) return std::unexpected(std::move(output.error()));
  return parseSnapshotList(*output);
}

SnapshotResult<void> SnapshotManager::deleteSnapshot(std::string_view stamp) {
  if (auto refusal = deleteRefusal(stamp)) {
    return refuse(*refusal == DeleteRefusal::kProtected ? SnapshotErrorKind::kProtectedSnapshot
                                                        : SnapshotErrorKind::kInvalidIdentifier,
                  std::string(stamp));
  }
  auto output = run({"deletelocalsnapshots", std::string(stamp)}, config_.timeouts.remove);
  if (!output) return std::unexpected(std::move(output.error()));
  return {};
}

SnapshotResult<void> SnapshotManager::thinLocalSnapshots(std::int64_t bytes, int urgency) {
  auto output = run(thinArguments(bytes, urgency), config_.timeouts.thin);
  if (!output) return std::unexpected(std::move(output.error()));
  recorder_.rememberLastReclaim(static_cast<double>(clock_()));
  recorder_.recordLedgerRun(kLedgerJob, kThinningLedgerSummary);
  return {};
}

SnapshotResult<std::optional<TimeMachineDestination>> SnapshotManager::destinationInfo() {
  auto output = run({"destinationinfo"}, config_.timeouts.destination);
  if (!output) return std::unexpected(std::move(output.error()));
  return parseDestinationInfo(*output);
}

SnapshotResult<std::optional<LatestBackup>> SnapshotManager::latestBackup(
    const std::string& mountPoint) {
  auto output = run({"latestbackup", "-d", mountPoint}, config_.timeouts.latestBackup);
  if (!output) return std::unexpected(std::move(output.error()));
  return parseLatestBackup(*output);
}

std::int64_t SnapshotManager::purgeableEstimate() const {
  const StartupCapacity figures = capacity_ ? capacity_() : StartupCapacity{};
  return purgeableBytes(figures.availableForImportantUsage, figures.available);
}

}  // namespace brimvale::snapshots
