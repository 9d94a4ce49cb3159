#include "service/rules/trash_records.h"

#include <cstdio>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Local time, as the Trash writes it; nothing for any other form.
std::optional<std::time_t> parseDeletionDate(std::string_view text) {
  std::tm tm{};
  char tail = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail) != 6) {
    return std::nullopt;
  }
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t at = std::mktime(&tm);
  if (at == static_cast<std::time_t>(-1)) return std::nullopt;
  return at;
}

}  // namespace

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::optional<TrashRecord> parseTrashInfo(std::string_view text) {
  bool inGroup = false;
  bool sawGroup = false;
  std::optional<std::string> path;
  std::optional<std::time_t> deletedAt;
  for (std::string_view raw : splitLines(text)) {
    std::string_view line = trimBlanks(raw);
    if (line.ends_with('\r')) line = trimBlanks(line.substr(0, line.size() - 1));
    if (line.empty() || line.starts_with('#')) continue;
    if (line.starts_with('[')) {
      inGroup = line == "[Trash Info]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = trimBlanks(line.substr(0, eq));
    const std::string_view value = trimBlanks(line.substr(eq + 1));
    if (key == "Path" && !path) path = percentDecoded(value);
    if (key == "DeletionDate" && !deletedAt) deletedAt = parseDeletionDate(value);
  }
  if (!sawGroup || !path || path->empty() || !deletedAt) return std::nullopt;
  return TrashRecord{*path, *deletedAt};
}

fs::path trashInfoOf(const std::string& item) { return fs::path("info") / (item + ".trashinfo"); }

std::optional<TrashRecord> readTrashRecord(const fs::path& trash, const std::string& item) {
  const fs::path info = trash / trashInfoOf(item);
  const auto status = linkStatus(info);
  if (!status || !fs::is_regular_file(*status)) return std::nullopt;
  auto text = readFile(info);
  if (!text) return std::nullopt;
  return parseTrashInfo(*text);
}

}  // namespace brimvale::service
