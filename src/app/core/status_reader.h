// The application's reader of the service's status snapshot. It tells a
// missing snapshot (service not started yet) from one it cannot decode.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace brimvale::app {

// The decoded snapshot. Required keys are plain fields; the rest are
// optional because older or newer services may leave them out.
struct ServiceStatus {
  std::string timestamp;
  int version = 1;
  std::string nvmePath;
  bool mounted = false;
  bool markerOk = false;
  std::optional<std::int64_t> nvmeFreeGb;
  std::optional<std::int64_t> nvmeTotalGb;
  std::optional<std::int64_t> nvmeFreeBytes;
  std::optional<std::int64_t> nvmeTotalBytes;
  std::int64_t internalFreeGb = 0;
  std::int64_t internalTotalGb = 0;
  std::optional<std::int64_t> internalFreeBytes;
  std::optional<std::int64_t> internalTotalBytes;
  std::optional<std::int64_t> internalPurgeableBytes;  // never written by the service
  std::int64_t idleSecs = 0;
  bool quietHours = false;
  bool paused = false;
  bool autoEnabled = false;
  std::optional<std::string> lastRun;
  std::optional<std::string> lastEvent;
  std::int64_t lowSpaceWarnGb = 0;
  std::int64_t lowSpaceCriticalGb = 0;
  std::int64_t autoRelocateHour = 0;
  std::string quietHoursBlocked;
  std::optional<std::string> quietMode;
  std::optional<std::string> quietReason;
  std::optional<std::int64_t> smartIdleMinutes;
  std::optional<std::int64_t> smartMinBattery;
  std::optional<bool> smartRespectMeetings;
  std::optional<bool> onBattery;
  std::optional<std::int64_t> batteryPct;
  std::optional<bool> meetingActive;
  std::int64_t ruleCount = 0;
  std::int64_t appCachePathCount = 0;
};

enum class StatusReadError { kMissingSnapshot, kUndecodableSnapshot };

struct StatusReadFailure {
  StatusReadError kind;
  std::string detail;  // which key was missing or what did not parse
  // "missing-snapshot" / "undecodable-snapshot".
  [[nodiscard]] std::string_view id() const;
  // A sentence for the user, then the detail.
  [[nodiscard]] std::string message() const;
};

// Decodes snapshot text. Fails with kUndecodableSnapshot when the text is
// not JSON, a required key is missing, or a key has the wrong type.
[[nodiscard]] std::expected<ServiceStatus, StatusReadFailure> decodeStatus(std::string_view json);

// Reads and decodes the file; a file that does not exist, is empty or cannot be decoded is
// kMissingSnapshot.
[[nodiscard]] std::expected<ServiceStatus, StatusReadFailure> readStatus(
    const std::filesystem::path& statusJson);

}  // namespace brimvale::app
