#include "app/core/history_report.h"

#include "app/core/json_output.h"

#include <array>
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 8> kBlockMarks{"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
constexpr std::array<std::string_view, 8> kAsciiMarks{"_", ".", "-", "~", "=", "+", "*", "#"};
constexpr std::size_t kFlatMark = 3;
constexpr std::string_view kIndent = "  ";
constexpr double kBytesPerGbReal = 1e9;

std::string gigabytes(double gb) {
  return platform::formatFileByteCount(std::llround(gb * kBytesPerGbReal));
}

std::string plural(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// "an hour", "3 hours", "2 days": what one mark of the sparkline covers.
std::string bucketSpan(std::time_t seconds) {
  const auto hours = static_cast<std::size_t>(std::llround(static_cast<double>(seconds) / 3600));
  if (hours <= 1) return "an hour";
  if (hours < 48) return plural(hours, "hour", "hours");
  return plural(static_cast<std::size_t>(std::llround(static_cast<double>(hours) / 24)), "day",
                "days");
}

std::string seriesBlock(std::string_view label, const HistorySeries& series, SparkGlyphs glyphs) {
  return std::string(label) + ": now " + gigabytes(series.latestGb) + " · lowest " +
         gigabytes(series.minGb) + " · highest " + gigabytes(series.maxGb) + "\n" +
         std::string(kIndent) + sparkline(series, glyphs) + "\n";
}

json seriesJson(std::string_view name, const HistorySeries& series) {
  json values = json::array();
  for (const auto& v : series.values) {
    values.push_back(v ? json(std::round(*v * 10) / 10) : json(nullptr));
  }
  return {{"name", name},
          {"freeGb", values},
          {"minGb", series.minGb},
          {"maxGb", series.maxGb},
          {"latestGb", series.latestGb}};
}

std::string prettyHistory(const json& doc) { return versionedText(doc); }

}  // namespace

std::string sparkline(const HistorySeries& series, SparkGlyphs glyphs) {
  const auto& marks = glyphs == SparkGlyphs::kBlocks ? kBlockMarks : kAsciiMarks;
  std::optional<double> low;
  std::optional<double> high;
  for (const auto& v : series.values) {
    if (!v) continue;
    low = low ? std::min(*low, *v) : *v;
    high = high ? std::max(*high, *v) : *v;
  }
  std::string line;
  for (const auto& v : series.values) {
    if (!v) {
      line += ' ';
      continue;
    }
    const double range = *high - *low;
    const std::size_t mark =
        range <= 0
            ? kFlatMark
            : static_cast<std::size_t>(std::lround((*v - *low) / range * (marks.size() - 1)));
    line += marks[mark];
  }
  return line;
}

std::string renderHistoryText(const BucketedHistory& history, std::size_t skippedLines,
                              SparkGlyphs glyphs) {
  std::string text = "Free space from " + localDate(history.from) + " to " + localDate(history.to) +
                     ": " + plural(history.rowCount, "row", "rows") + ", each mark covers " +
                     bucketSpan(history.bucketSeconds) + ".\n";
  if (skippedLines > 0) {
    text += plural(skippedLines, "unreadable line was", "unreadable lines were") +
            " skipped and left in the file.\n";
  }
  text += "\n" + seriesBlock("Internal disk", history.internal, glyphs);
  if (history.drive) text += seriesBlock("Fast drive", *history.drive, glyphs);
  return text;
}

std::string historyJson(const BucketedHistory& history, std::size_t skippedLines) {
  json series = json::array({seriesJson("internal", history.internal)});
  if (history.drive) series.push_back(seriesJson("drive", *history.drive));
  return prettyHistory({{"bucketSeconds", history.bucketSeconds},
                        {"from", isots(history.from)},
                        {"to", isots(history.to)},
                        {"rows", history.rowCount},
                        {"skippedLines", skippedLines},
                        {"series", series}});
}

std::string emptyHistoryJson(std::size_t skippedLines) {
  return prettyHistory({{"bucketSeconds", 0},
                        {"rows", 0},
                        {"skippedLines", skippedLines},
                        {"series", json::array()}});
}

std::string emptyHistorySentence(std::size_t skippedLines) {
  std::string text =
      "No usage history yet: Brimvale records free space once an hour while "
      "`brimvale run` runs, so the first row appears within an hour of starting it.";
  if (skippedLines > 0) {
    text += " (" + plural(skippedLines, "unreadable line was", "unreadable lines were") +
            " skipped and left in the file.)";
  }
  return text + "\n";
}

std::string noRecentRowsSentence(int days) {
  return "The usage history has no rows from the last " +
         plural(static_cast<std::size_t>(days), "day", "days") +
         ": rows are added once an hour while `brimvale run` runs. Leave out --days to see "
         "all of it.\n";
}

}  // namespace brimvale::app
