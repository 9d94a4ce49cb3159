#include "common/base/timestamps.h"

#include <cstdio>

#include "common/base/injected_clock.h"

namespace brimvale {

WallClock systemClock() {
  return [] { return injectedNow().value_or(std::time(nullptr)); };
}

std::string formatLocal(std::time_t t, const char* pattern) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

std::string ts(std::time_t t) { return formatLocal(t, "%Y-%m-%d %H:%M:%S"); }

std::string isots(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buf, n);
}

std::string localDate(std::time_t t) { return formatLocal(t, "%Y-%m-%d"); }

std::string localMinute(std::time_t t) { return formatLocal(t, "%Y-%m-%d %H:%M"); }

int localHour(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm.tm_hour;
}

std::optional<std::time_t> parseIsots(std::string_view text) {
  const std::string copy(text);
  std::tm fields{};
  char zone = 0;
  int consumed = 0;
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &fields.tm_year, &fields.tm_mon,
                  &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &zone,
                  &consumed) != 7 ||
      zone != 'Z' || static_cast<std::size_t>(consumed) != copy.size()) {
    return std::nullopt;
  }
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  return timegm(&fields);
}

}  // namespace brimvale
