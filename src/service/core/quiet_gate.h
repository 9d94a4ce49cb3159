// The quiet gate: may automatic work run right now? "Quiet" means no — the
// person is busy, on a low battery, in a meeting, or inside a blocked window.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

namespace brimvale::service {

struct QuietInputs {
  std::string mode;          // QUIET_MODE
  std::string blockedHours;  // QUIET_HOURS_BLOCKED
  long long idleThresholdSecs = 600;
  long long smartIdleMinutes = 5;
  long long smartMinBattery = 30;
  bool respectMeetings = true;
  int hour = 0;  // local hour 0-23
  std::uint64_t idleSecs = 0;
  bool onBattery = false;
  int batteryPercent = 100;
  bool meetingFresh = false;
};

struct QuietVerdict {
  bool quiet = false;
  std::string reason;  // empty when not quiet
};

[[nodiscard]] QuietVerdict isQuietNow(const QuietInputs& in);

// True when `hour` lies in one of the comma-separated `lo-hi` windows
// (lo <= hour < hi; windows do not wrap past midnight, so "22-6" blocks
// nothing). Malformed windows block nothing.
[[nodiscard]] bool hourIsBlocked(const std::string& windows, int hour);

// The meeting flag counts while it exists and was touched at most 30 s ago,
// so a flag left by a crashed application stops counting by itself.
[[nodiscard]] bool meetingFlagFresh(const std::filesystem::path& flag, std::time_t now);

}  // namespace brimvale::service
