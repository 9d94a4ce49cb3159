#include "service/core/quiet_gate.h"

#include <sys/stat.h>

#include <charconv>
#include <optional>
#include <string_view>

#include "common/base/text_formats.h"

namespace brimvale::service {
namespace {

std::optional<int> wholeHour(std::string_view text) {
  text = trimBlanks(text);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

bool hourIsBlocked(const std::string& windows, int hour) {
  std::string_view rest = windows;
  while (true) {
    std::size_t comma = rest.find(',');
    std::string_view range = rest.substr(0, comma);
    std::size_t firstDash = range.find('-');
    std::size_t lastDash = range.rfind('-');
    if (firstDash != std::string_view::npos) {
      auto lo = wholeHour(range.substr(0, lastDash));
      auto hi = wholeHour(range.substr(firstDash + 1));
      if (lo && hi && *lo <= hour && hour < *hi) return true;
    }
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
}

bool meetingFlagFresh(const std::filesystem::path& flag, std::time_t now) {
  struct stat st {};
  if (stat(flag.c_str(), &st) != 0) return false;
  return now - st.st_mtime <= 30;
}

QuietVerdict isQuietNow(const QuietInputs& in) {
  const std::string idle = std::to_string(in.idleSecs);
  if (in.mode == "always-on" || in.mode == "always") return {};
  if (in.mode == "schedule") {
    if (hourIsBlocked(in.blockedHours, in.hour))
      return {true, "scheduled window " + in.blockedHours};
    if (static_cast<long long>(in.idleSecs) < in.idleThresholdSecs) {
      return {true,
              "user active (idle " + idle + "s < " + std::to_string(in.idleThresholdSecs) + "s)"};
    }
    return {};
  }
  if (in.mode == "smart") {
    if (static_cast<long long>(in.idleSecs) < in.smartIdleMinutes * 60) {
      return {true,
              "user active (idle " + idle + "s < " + std::to_string(in.smartIdleMinutes) + "m)"};
    }
    if (in.onBattery && in.batteryPercent < in.smartMinBattery) {
      return {true, "battery low (" + std::to_string(in.batteryPercent) + "% < " +
                        std::to_string(in.smartMinBattery) + "%)"};
    }
    if (in.respectMeetings && in.meetingFresh) return {true, "camera or mic in use (meeting)"};
    return {};
  }
  return {true, "unknown QUIET_MODE='" + in.mode + "'"};
}

}  // namespace brimvale::service
