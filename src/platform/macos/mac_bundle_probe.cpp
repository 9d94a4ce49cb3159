#include "platform/macos/mac_bundle_probe.h"

#include <time.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <utility>

namespace brimvale::platform {
namespace {

using std::chrono::milliseconds;

// Spotlight answers at once unless its index is being rebuilt; codesign reads
// the whole signature of a big bundle, which can take a few seconds.
constexpr milliseconds kLastUsedDeadline{5000};
constexpr milliseconds kCodesignDeadline{20000};

constexpr std::string_view kLastUsedKey = "kMDItemLastUsedDate";

// "+hhmm" or "+hh:mm" as seconds east of UTC.
std::optional<int> zoneOffsetSeconds(std::string_view zone) {
  std::string digits;
  for (char ch : zone.substr(zone.empty() ? 0 : 1)) {
    if (ch == ':') continue;
    if (!std::isdigit(static_cast<unsigned char>(ch))) return std::nullopt;
    digits.push_back(ch);
  }
  if (zone.empty() || (zone[0] != '+' && zone[0] != '-') || digits.size() != 4) return std::nullopt;
  const int seconds = std::stoi(digits.substr(0, 2)) * 3600 + std::stoi(digits.substr(2)) * 60;
  return zone[0] == '-' ? -seconds : seconds;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

class MacBundleProbe final : public BundleProbe {
 public:
  MacBundleProbe(MacBundleToolPaths tools, ProcessRunner run)
      : tools_(std::move(tools)), run_(std::move(run)) {}

  std::optional<std::int64_t> lastUsed(const std::string& bundle, const std::string&) override {
    ProcessResult r =
        runTool(run_, tools_.mdls, {"-name", std::string(kLastUsedKey), bundle}, kLastUsedDeadline);
    if (!r.succeeded()) return std::nullopt;
    return parseMdlsLastUsed(r.out);
  }

  bool appleSigned(const std::string& bundle) override {
    ProcessResult r =
        runTool(run_, tools_.codesign, {"-dv", "--verbose=2", bundle}, kCodesignDeadline);
    if (!r.succeeded()) return false;
    // codesign writes what it displays to standard error.
    return isAppleAuthority(firstSigningAuthority(r.err + r.out));
  }

 private:
  MacBundleToolPaths tools_;
  ProcessRunner run_;
};

}  // namespace

std::optional<std::int64_t> parseMdlsLastUsed(std::string_view output) {
  const auto key = output.find(kLastUsedKey);
  if (key == std::string_view::npos) return std::nullopt;
  std::string_view rest = output.substr(key + kLastUsedKey.size());
  const auto eq = rest.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  rest = rest.substr(eq + 1);
  rest = trimmed(rest.substr(0, rest.find('\n')));
  if (rest == "(null)") return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const std::string text(rest);
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %n", &year, &month, &day, &hour, &minute,
                  &second, &used) != 6 ||
      used == 0) {
    return std::nullopt;
  }
  const auto offset = zoneOffsetSeconds(trimmed(std::string_view(text).substr(used)));
  if (!offset || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&fields)) - *offset;
}

std::string firstSigningAuthority(std::string_view output) {
  constexpr std::string_view kAuthority = "Authority=";
  while (!output.empty()) {
    const auto end = output.find('\n');
    std::string_view line = output.substr(0, end);
    if (line.starts_with(kAuthority)) {
      return std::string(trimmed(line.substr(kAuthority.size())));
    }
    if (end == std::string_view::npos) break;
    output.remove_prefix(end + 1);
  }
  return {};
}

bool isAppleAuthority(std::string_view authority) {
  return authority.starts_with("Apple Mac OS") || authority.starts_with("Apple Software Update") ||
         authority.starts_with("Apple iPhone OS") || authority == "Software Signing";
}

std::unique_ptr<BundleProbe> makeMacBundleProbe(MacBundleToolPaths tools, ProcessRunner run) {
  return std::make_unique<MacBundleProbe>(std::move(tools), std::move(run));
}

}  // namespace brimvale::platform
