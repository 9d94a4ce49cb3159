// The status snapshot: the service's view of the drive, the internal disk and
// the quiet gate, published as state/status.json and as the `status` text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/base/error.h"
#include "service/core/quiet_gate.h"
#include "service/core/service_context.h"

namespace brimvale::service {

struct StatusSnapshot {
  std::string timestamp;  // UTC isots
  std::string nvmePath;
  bool mounted = false;
  bool markerOk = false;
  std::uint64_t nvmeFreeBytes = 0;   // 0 unless the drive is usable
  std::uint64_t nvmeTotalBytes = 0;  // 0 unless the drive is usable
  std::uint64_t internalFreeBytes = 0;
  std::uint64_t internalTotalBytes = 0;
  std::uint64_t idleSecs = 0;
  QuietVerdict quiet;
  bool paused = false;
  bool autoEnabled = false;
  std::optional<std::string> lastRun;  // state/last-auto-run, first line
  std::string lastEvent;               // last log line, control bytes removed
  bool onBattery = false;
  int batteryPct = 100;
  bool meetingActive = false;
  std::size_t ruleCount = 0;
  std::size_t appCachePathCount = 0;

  [[nodiscard]] bool driveUsable() const { return mounted && markerOk; }
};

// True when a volume is mounted on exactly the configured path and the
// working folder holds its marker file. Every automatic action requires it.
[[nodiscard]] bool driveUsable(ServiceContext& ctx);

// The pause sentinel state/paused exists: automatic and clean-up work refuses.
[[nodiscard]] bool isPaused(const ServiceContext& ctx);

// Writes state/last-auto-run as "{YYYY-mm-dd HH:MM} ({origin})".
void markLastRun(ServiceContext& ctx, std::string_view origin);

// Measures everything the snapshot shows. Requires loaded configuration.
[[nodiscard]] StatusSnapshot gatherStatus(ServiceContext& ctx);

// The snapshot file: 33 keys in fixed order, two-space indentation.
[[nodiscard]] std::string renderStatusJson(const StatusSnapshot& s, const ServiceConfig& cfg);

// The `status` text, line by line.
[[nodiscard]] std::string renderStatusText(const StatusSnapshot& s, const ServiceConfig& cfg,
                                           const StatePaths& paths);

struct WrittenSnapshot {
  std::string json;    // what was gathered, whether or not it was saved
  Result<void> saved;  // a failure left the previous snapshot in place
};

// Gathers and writes state/status.json atomically (via its temporary sibling).
WrittenSnapshot writeStatusJson(ServiceContext& ctx);

// Decimal gigabytes, truncated.
[[nodiscard]] inline std::uint64_t decimalGb(std::uint64_t bytes) { return bytes / 1000000000ull; }

}  // namespace brimvale::service
