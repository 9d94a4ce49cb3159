#include "platform/byte_count_format.h"

#include <array>
#include <string_view>

namespace brimvale::platform {
namespace {

struct Unit {
  std::string_view name;
  int decimals;
};
constexpr std::array kUnits{Unit{"KB", 0}, Unit{"MB", 1}, Unit{"GB", 2},
                            Unit{"TB", 2}, Unit{"PB", 2}, Unit{"EB", 2}};

}  // namespace

std::string formatFileByteCount(std::int64_t bytes) {
  if (bytes == 0) return "Zero KB";
  if (bytes < 0) {
    // Two's complement minimum has no positive twin; one byte does not show.
    return "-" + formatFileByteCount(bytes == INT64_MIN ? INT64_MAX : -bytes);
  }
  const auto value = static_cast<std::uint64_t>(bytes);
  if (value == 1) return "1 byte";
  if (value < 1000) return std::to_string(value) + " bytes";

  std::uint64_t divisor = 1000;
  for (std::size_t u = 0; u < kUnits.size(); ++u) {
    std::uint64_t scale = 1;
    for (int i = 0; i < kUnits[u].decimals; ++i) scale *= 10;
    // value / divisor in units of 1/scale, rounded half up. Every divisor is
    // a multiple of every scale, so one integer division says it without
    // overflowing, even for the largest counts.
    const std::uint64_t step = divisor / scale;
    const std::uint64_t rest = value % step;
    const std::uint64_t scaled = value / step + (rest >= step - rest ? 1 : 0);
    const bool last = u + 1 == kUnits.size();
    if (scaled >= 1000 * scale && !last) {
      divisor *= 1000;
      continue;
    }
    const std::uint64_t whole = scaled / scale;
    const std::uint64_t fraction = scaled % scale;
    std::string out = std::to_string(whole);
    if (fraction != 0) {
      std::string digits = std::to_string(fraction);
      digits.insert(0, static_cast<std::size_t>(kUnits[u].decimals) - digits.size(), '0');
      while (digits.back() == '0') digits.pop_back();
      out += "." + digits;
    }
    return out + " " + std::string(kUnits[u].name);
  }
  return {};  // unreachable: the last unit always returns
}

std::string gigabytesText(std::int64_t bytes, std::int64_t wholeGb, const PlatformWords& words) {
  if (words.wholeGigabytes) return std::to_string(wholeGb) + " GB";
  return formatFileByteCount(bytes);
}

std::string gigabytesChangeText(std::int64_t bytes, std::int64_t wholeGb,
                                const PlatformWords& words) {
  const std::int64_t change = words.wholeGigabytes ? wholeGb : bytes;
  if (change == 0) return words.wholeGigabytes ? "±0 GB" : "±0";
  return (change > 0 ? "+" : "") + gigabytesText(bytes, wholeGb, words);
}

}  // namespace brimvale::platform
