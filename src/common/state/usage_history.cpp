#include "common/state/usage_history.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/rule_text.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// An exabyte: anything larger was typed by hand, not measured.
constexpr double kLargestGb = 1e9;

// A figure of free space: a number of GB no disk could exceed, or nothing.
std::optional<double> gigabytesIn(const nlohmann::json& row, const char* key) {
  const auto value = row.find(key);
  if (value == row.end() || !value->is_number()) return std::nullopt;
  const double gb = value->get<double>();
  if (gb < 0 || gb > kLargestGb) return std::nullopt;
  return gb;
}

std::optional<std::time_t> timeOf(const nlohmann::json& row) {
  if (!row.is_object()) return std::nullopt;
  const auto ts = row.find("ts");
  if (ts == row.end() || !ts->is_string()) return std::nullopt;
  return parseIsots(ts->get<std::string>());
}

std::optional<std::time_t> timeOfLine(std::string_view line) {
  return timeOf(nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false));
}

std::optional<HistoryRow> rowOf(std::string_view line) {
  const auto row = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  const auto at = timeOf(row);
  const auto internalFree = gigabytesIn(row, "internal_free_gb");
  if (!at || !internalFree) return std::nullopt;
  HistoryRow result{.at = *at, .internalFreeGb = *internalFree};
  if (gigabytesIn(row, "nvme_total_gb").value_or(0) > 0) {
    result.driveFreeGb = gigabytesIn(row, "nvme_free_gb");
  }
  return result;
}

constexpr std::array<std::string_view, 8> kHistoryFolders{"Downloads",
                                                          "Documents",
                                                          "Desktop",
                                                          "Library/Caches",
                                                          "Library/Containers",
                                                          "Library/Developer/Xcode/DerivedData",
                                                          "Movies",
                                                          "Pictures"};

// A hand-edited or torn last line should not hide the rows before it.
constexpr std::size_t kRowsSearchedForTime = 8;

std::uint64_t decimalGigabytes(std::uint64_t bytes) { return bytes / 1000000000ull; }

}  // namespace

std::string usageHistoryRow(std::time_t now, const UsageSpace& space, const fs::path& home,
                            const fs::path& stateDir) {
  std::uint64_t saved = 0;
  if (auto text = readFile(stateDir / kCumulativeSavedFile)) {
    const auto lines = splitLines(*text);
    if (!lines.empty())
      saved = static_cast<std::uint64_t>(wholeNumber(trimBlanks(lines[0])).value_or(0));
  }
  JsonObjectWriter dirs;
  for (std::string_view folder : kHistoryFolders) {
    const fs::path path = home / folder;
    if (!pathExists(path).value_or(false)) continue;
    dirs.number("~/" + std::string(folder), diskUsageBytes(path).value_or(0) / 1024 / 1024);
  }
  return JsonObjectWriter()
      .string("ts", isots(now))
      .number("internal_free_gb", decimalGigabytes(space.internalFreeBytes))
      .number("internal_total_gb", decimalGigabytes(space.internalTotalBytes))
      .number("nvme_free_gb", decimalGigabytes(space.driveFreeBytes))
      .number("nvme_total_gb", decimalGigabytes(space.driveTotalBytes))
      .number("cumulative_saved_bytes", saved)
      .raw("dirs_mb", dirs.str())
      .str();
}

Result<void> appendUsageHistoryRow(const fs::path& history, const std::string& row,
                                   std::int64_t maxDays, std::time_t now) {
  if (auto appended = appendNdjsonLine(history, row); !appended) return appended;
  auto text = readFile(history);
  if (!text) return std::unexpected(text.error());
  const std::time_t oldestKept = now - std::max<std::int64_t>(maxDays, 1) * 86400;
  const auto lines = splitLines(*text);
  const auto tooOld = [&](std::string_view line) {
    const auto at = timeOfLine(line);
    return at && *at < oldestKept;
  };
  if (std::none_of(lines.begin(), lines.end(), tooOld)) return {};
  // A line without a readable time is not a row to age out; it stays, as the readers skip it.
  std::string kept;
  for (std::string_view line : lines) {
    if (!tooOld(line)) kept.append(line).push_back('\n');
  }
  return writeFileAtomically(history, kept);
}

std::optional<std::time_t> lastUsageHistoryTime(const fs::path& history) {
  const auto lines = readLastLines(history, kRowsSearchedForTime);
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (auto at = timeOfLine(*line)) return at;
  }
  return std::nullopt;
}

HistoryRows parseHistory(std::string_view ndjson) {
  HistoryRows result;
  for (std::string_view line : splitLines(ndjson)) {
    if (trimBlanks(line).empty()) continue;
    if (auto row = rowOf(line)) {
      result.rows.push_back(*row);
    } else {
      ++result.skippedLines;
    }
  }
  std::stable_sort(result.rows.begin(), result.rows.end(),
                   [](const HistoryRow& a, const HistoryRow& b) { return a.at < b.at; });
  return result;
}

}  // namespace brimvale
