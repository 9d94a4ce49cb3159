// The startup disk's low-space ladder: measures every 30 s, notifies once per
// change of state (ok / low / critical / emergency), asks the service to
// relocate data at the two worst states, and records each check in the ledger.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/raw_names.h"
#include "common/base/timestamps.h"
#include "common/state/paths.h"
#include "diagnostics/notification_delivery.h"
#include "platform/notification_center.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "platform/volume_resources.h"
#include "transfers/background_jobs.h"

namespace brimvale::diagnostics {

// Ordered by severity. Persisted by raw string; never renumber.
enum class WarnState { kOk, kLow, kCritical, kEmergency };
inline constexpr std::array<RawName<WarnState>, 4> kWarnStateNames{{
    {WarnState::kOk, "ok"},
    {WarnState::kLow, "low"},
    {WarnState::kCritical, "critical"},
    {WarnState::kEmergency, "emergency"},
}};
[[nodiscard]] std::string_view warnStateRaw(WarnState state);
[[nodiscard]] std::optional<WarnState> warnStateFromRaw(std::string_view raw);

inline constexpr std::string_view kWarnStateDefaultsKey = "brimvale.storage.warnState";
inline constexpr std::string_view kStorageWarningThread = "storage.warning";

struct VolumeMeasurement {
  std::string path;
  std::int64_t totalBytes = 0;
  std::int64_t freeBytes = 0;          // the larger available figure
  std::int64_t rawAvailableBytes = 0;  // plain available, else important-usage
  std::time_t measuredAt = 0;

  bool operator==(const VolumeMeasurement&) const = default;
};

// None when the total or both available figures are missing.
[[nodiscard]] std::optional<VolumeMeasurement> measurementFrom(
    const std::string& path, const platform::VolumeResourceValues& values, std::time_t now);

struct MonitorConfig {
  std::int64_t warnGb = 40;
  std::int64_t criticalGb = 15;
  std::int64_t emergencyGb = 5;
  bool autoActions = false;

  bool operator==(const MonitorConfig&) const = default;
};

// Per line: trimmed; empty and '#' lines skipped; split at the first '=';
// the value trimmed of '"', '\'' and ' ' at both ends. Thresholds take a
// value that parses as a decimal integer, else keep their default;
// ENABLE_AUTO_ACTIONS is on for "1" or "true" in any case.
[[nodiscard]] MonitorConfig parseMonitorConfig(std::string_view text);
// A missing or unreadable file gives the defaults.
[[nodiscard]] MonitorConfig readMonitorConfig(const std::filesystem::path& configFile);

// Whole decimal gigabytes, truncating, with percentage floors of the total
// (2 %, 5 %, 10 %); each state is entered at equality.
[[nodiscard]] WarnState classify(const VolumeMeasurement& m, const MonitorConfig& config);

// "Only {free} left of {total} ({pct}% free). " + the state's suffix.
[[nodiscard]] std::string notificationBody(const VolumeMeasurement& m, WarnState state);

// Removes delivered storage warnings left by an earlier run (titles that
// begin "Internal disk", "Storage running", "Storage CRITICAL" or "STORAGE
// EMERGENCY"), so they never contradict the fresh state.
void sweepStaleStorageNotifications(platform::NotificationCenter& centre);

// Loop-thread object; the relocate-now child runs on a worker thread and
// reports back only through the log.
class StorageWarningMonitor {
 public:
  struct Dependencies {
    StatePaths paths;
    platform::VolumeResources& volumes;
    platform::UserDefaults& defaults;
    NotificationDelivery& notifications;
    transfers::BackgroundJobsStore& ledger;
    platform::Scheduler& scheduler;
    platform::LogSink log;  // receives lines with the "[StorageWarningMonitor] " prefix
    WallClock clock;
    std::string rsyncPath;  // handed to the service as RSYNC when not empty
    ProcessRunner run;      // how the service's relocate-now runs
  };

  explicit StorageWarningMonitor(Dependencies deps);

  // Restores the persisted state, ticks once, then every 30 s (tolerance 10 s).
  void start();
  // Cancels the timer and persists the current state; a monitor not running
  // (never started, or stopped already) persists nothing.
  void stop();
  void tick();

  [[nodiscard]] WarnState state() const { return state_; }

 private:
  void log(const std::string& line) const;
  void transition(WarnState next, const VolumeMeasurement& m);
  void autoRelocate();

  Dependencies d_;
  WarnState state_ = WarnState::kOk;
  std::optional<VolumeMeasurement> last_;
  std::optional<platform::Scheduler::TimerId> timer_;
};

}  // namespace brimvale::diagnostics
