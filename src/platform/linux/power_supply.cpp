#include "platform/linux/power_supply.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"

namespace brimvale::platform {
namespace {

// The first line of a sysfs attribute, or empty when it cannot be read.
std::string attribute(const std::filesystem::path& supply, const char* name) {
  auto content = readFile(supply / name);
  if (!content) return {};
  std::vector<std::string_view> lines = splitLines(*content);
  return lines.empty() ? std::string() : std::string(trimBlanks(lines.front()));
}

std::optional<int> toPercent(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return std::clamp(value, 0, 100);
}

}  // namespace

PowerState readPowerSupplies(const std::filesystem::path& root) {
  std::vector<std::filesystem::path> supplies;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    supplies.push_back(it->path());
  }
  std::sort(supplies.begin(), supplies.end());

  PowerState state;
  bool discharging = false;
  bool externalOnline = false;
  bool haveBattery = false;
  for (const auto& supply : supplies) {
    std::string type = attribute(supply, "type");
    if (type == "Battery") {
      if (attribute(supply, "scope") == "Device") continue;
      if (attribute(supply, "status") == "Discharging") discharging = true;
      if (haveBattery) continue;
      haveBattery = true;
      if (auto percent = toPercent(attribute(supply, "capacity"))) state.batteryPercent = *percent;
    } else if (type == "Mains" || type.starts_with("USB")) {
      if (attribute(supply, "online") == "1") externalOnline = true;
    }
  }
  state.onBattery = discharging && !externalOnline;
  return state;
}

}  // namespace brimvale::platform
