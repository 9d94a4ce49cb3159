#include "app/core/status_text.h"

#include <algorithm>

#include "common/base/platform_words.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

constexpr std::int64_t kGigabyte = 1'000'000'000;

std::string amount(const std::optional<std::int64_t>& bytes, std::int64_t gb) {
  return platform::formatFileByteCount(bytes ? *bytes : gb * kGigabyte);
}

std::string driveWords(const ServiceStatus& s) {
  if (s.nvmePath.empty()) return "not chosen yet (`brimvale drives select PATH` takes one)";
  if (!s.mounted) return "not connected (expected at " + s.nvmePath + ")";
  std::string words = "connected at " + s.nvmePath;
  if (!s.markerOk) {
    return words + ", but it is not set up for Brimvale yet (`brimvale prep-drive` sets it up)";
  }
  if (s.nvmeFreeGb || s.nvmeFreeBytes) {
    words += ", " + amount(s.nvmeFreeBytes, s.nvmeFreeGb.value_or(0)) + " free of " +
             amount(s.nvmeTotalBytes, s.nvmeTotalGb.value_or(0));
  }
  return words;
}

}  // namespace

std::string describeStatus(const ServiceStatus& s) {
  std::string out;
  out += "Fast drive:        " + driveWords(s) + "\n";
  std::string disk = capitalised(kHostWords.startupDisk) + ":";
  disk.resize(std::max<std::size_t>(disk.size() + 1, 19), ' ');
  out += disk + amount(s.internalFreeBytes, s.internalFreeGb) + " free of " +
         amount(s.internalTotalBytes, s.internalTotalGb) + "\n";
  out += std::string("Automatic actions: ") + (s.autoEnabled ? "on" : "off") +
         (s.paused ? ", paused by you" : "") + "\n";
  out += std::string("Quiet hours:       ") + (s.quietHours ? "now (" : "not now (") +
         s.quietHoursBlocked + ")\n";
  if (s.lastRun) out += "Last run:          " + *s.lastRun + "\n";
  if (s.lastEvent) out += "Last event:        " + *s.lastEvent + "\n";
  out += "Status written:    " + s.timestamp + "\n";
  return out;
}

std::string statusSummaryLine(const ServiceStatus& s) {
  return "service status at " + s.timestamp + ": drive " + driveWords(s) + ", " +
         amount(s.internalFreeBytes, s.internalFreeGb) + " free on the " +
         std::string(kHostWords.startupDisk);
}

}  // namespace brimvale::app
