#include "snapshots/snapshot_tool_output.h"

#include <algorithm>

#include "common/base/text_formats.h"

namespace brimvale::snapshots {
namespace {

constexpr std::string_view kBackupPrefix = "com.apple.TimeMachine.";
constexpr std::string_view kBackupSuffix = ".local";
constexpr std::size_t kStampLength = 17;

std::string_view trimWhitespace(std::string_view text) {
  constexpr std::string_view kWhitespace = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD-HHMMSS": dashes at 4, 7 and 10, digits everywhere else.
bool hasStampShape(std::string_view text) {
  if (text.size() != kStampLength) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dashHere = i == 4 || i == 7 || i == 10;
    if (dashHere ? text[i] != '-' : !isDigit(text[i])) return false;
  }
  return true;
}

int number(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<std::time_t> parseStampDate(std::string_view stamp) {
  if (!hasStampShape(stamp)) return std::nullopt;
  const int year = number(stamp.substr(0, 4));
  const int month = number(stamp.substr(5, 2));
  const int day = number(stamp.substr(8, 2));
  const int hour = number(stamp.substr(11, 2));
  const int minute = number(stamp.substr(13, 2));
  const int second = number(stamp.substr(15, 2));
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  const std::time_t t = std::mktime(&fields);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return t;
}

std::vector<LocalSnapshot> parseSnapshotList(std::string_view output) {
  std::vector<LocalSnapshot> snapshots;
  for (std::string_view raw : splitLines(output)) {
    const std::string_view line = trimWhitespace(raw);
    if (line.empty()) continue;
    if (line.starts_with(kSystemSnapshotPrefix)) {
      snapshots.push_back({.name = std::string(line), .isProtected = true});
      continue;
    }
    if (line.size() < kBackupPrefix.size() + kBackupSuffix.size() ||
        !line.starts_with(kBackupPrefix) || !line.ends_with(kBackupSuffix)) {
      continue;
    }
    const std::string_view stamp = line.substr(
        kBackupPrefix.size(), line.size() - kBackupPrefix.size() - kBackupSuffix.size());
    if (!hasStampShape(stamp)) continue;
    snapshots.push_back(
        {.name = std::string(line), .stamp = std::string(stamp), .date = parseStampDate(stamp)});
  }
  return snapshots;
}

std::optional<DeleteRefusal> deleteRefusal(std::string_view identifier) {
  if (identifier.starts_with(kSystemSnapshotPrefix)) return DeleteRefusal::kProtected;
  if (!hasStampShape(identifier)) return DeleteRefusal::kInvalidIdentifier;
  return std::nullopt;
}

std::vector<std::string> thinArguments(std::int64_t bytes, int urgency) {
  return {"thinlocalsnapshots", "/", std::to_string(std::max<std::int64_t>(bytes, 1)),
          std::to_string(std::clamp(urgency, 1, 4))};
}

std::optional<TimeMachineDestination> parseDestinationInfo(std::string_view output) {
  std::optional<TimeMachineDestination> current;
  for (std::string_view raw : splitLines(output)) {
    const std::string_view line = trimWhitespace(raw);
    if (line.starts_with("====")) {
      if (current) return current;
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = trimWhitespace(line.substr(0, colon));
    const std::string_view value = trimWhitespace(line.substr(colon + 1));
    if (key == "Name") {
      if (!current) current.emplace();
      current->name = value;
    } else if (key == "Mount Point") {
      if (!current) current.emplace();
      current->mountPoint = value;
    }
  }
  return current;
}

std::optional<LatestBackup> parseLatestBackup(std::string_view output) {
  const std::string_view path = trimWhitespace(output);
  if (path.empty()) return std::nullopt;
  std::string_view last = path;
  while (last.ends_with('/')) last.remove_suffix(1);
  if (const auto slash = last.rfind('/'); slash != std::string_view::npos) {
    last = last.substr(slash + 1);
  }
  if (last.size() > kStampLength && last[kStampLength] == '.') last = last.substr(0, kStampLength);
  return LatestBackup{.path = std::string(path), .date = parseStampDate(last)};
}

std::int64_t purgeableBytes(std::optional<std::int64_t> availableForImportantUsage,
                            std::optional<std::int64_t> available) {
  if (!availableForImportantUsage || !available) return 0;
  return std::max<std::int64_t>(*availableForImportantUsage - *available, 0);
}

}  // namespace brimvale::snapshots
