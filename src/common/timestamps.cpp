#include "common/timestamps.h"

namespace brimvale {

WallClock systemClock() {
  return [] { return std::time(nullptr); };
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

}  // namespace brimvale
