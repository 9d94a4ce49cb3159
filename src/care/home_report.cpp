#include "care/home_report.h"

#include <cstdio>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/usage_history.h"

namespace brimvale::care {
namespace {

// More than a week of hourly rows, so the window's oldest row is included.
constexpr std::size_t kHistoryLinesRead = 2'000;

// While paused, the clean-up refuses to run: resuming comes first.
constexpr std::string_view kResumeLine = "  • Resume automatic actions: brimvale service resume\n";

// "  • Label: command", or a note where no command performs the action yet.
std::string actionLine(SimpleActionID action) {
  const auto command = actionCommand(action);
  return "  • " + std::string(actionLabel(action)) +
         (command ? ": " + std::string(*command) : std::string(" (not available here yet)")) + "\n";
}

}  // namespace

TrendInput trendFromHistory(std::string_view ndjson, std::time_t now, std::int64_t freeGbNow,
                            std::string volumeName, int days) {
  TrendInput trend{.volumeName = std::move(volumeName), .freeGbNow = freeGbNow};
  const std::time_t windowStart = now - static_cast<std::time_t>(days) * 86'400;
  std::optional<std::time_t> startAt;
  // Rows come back oldest first: the first inside the window starts the trend.
  for (const HistoryRow& row : parseHistory(ndjson).rows) {
    if (row.at < windowStart || row.at > now) continue;
    startAt = row.at;
    trend.freeGbAtStart = static_cast<std::int64_t>(row.internalFreeGb);
    break;
  }
  if (startAt) trend.periodDays = (now - *startAt) / 86'400;
  return trend;
}

TrendInput readTrend(const std::filesystem::path& historyFile, std::time_t now,
                     std::int64_t freeGbNow, std::string volumeName) {
  std::string text;
  for (const auto& line : readLastLines(historyFile, kHistoryLinesRead)) text += line + "\n";
  return trendFromHistory(text, now, freeGbNow, std::move(volumeName));
}

std::string renderHome(const HomeFacts& facts, const std::vector<CareStep>& plan,
                       const TrendInput& trend) {
  const Recommendation recommendation = recommend(facts);
  std::string text = recommendation.headline + "\n" + recommendation.detail + "\n";
  if (!recommendation.noEstimate) {
    text += "About " + gigabytesInWords(recommendation.estimateGb) + " could be freed.\n";
  }
  if (recommendation.action != SimpleActionID::kAllGood) {
    text += "\nDo this next:\n" + std::string(facts.paused ? kResumeLine : "") +
            actionLine(recommendation.action);
  }
  text += "\n" + planSentence(plan) +
          "\nTo start it: " + std::string(*actionCommand(SimpleActionID::kFreeUpSpace)) +
          "\n\nMore you can do:\n";
  for (SimpleActionID action : furtherActions(facts)) text += actionLine(action);
  return text + "\n" + trendSentence(trend) + "\n";
}

}  // namespace brimvale::care
