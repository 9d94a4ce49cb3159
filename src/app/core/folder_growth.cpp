#include "app/core/folder_growth.h"
#include "common/base/text_formats.h"

#include <algorithm>
#include <map>

#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

std::string signedBytes(std::int64_t bytes) {
  return (bytes < 0 ? "-" : "+") + platform::formatFileByteCount(bytes < 0 ? -bytes : bytes);
}

std::string folderWord(std::size_t n) {
  return n == 1 ? "1 folder" : std::to_string(n) + " folders";
}

nlohmann::json folderJson(const FolderGrowth& f) {
  return {{"path", f.path},
          {"label", f.label},
          {"thenBytes", f.thenBytes},
          {"nowBytes", f.nowBytes},
          {"growthBytes", f.growth()}};
}

}  // namespace

GrowthReport compareScans(const ScanSizes& then, const ScanSizes& now) {
  GrowthReport report{.then = then.at, .now = now.at};
  std::map<std::string, FolderGrowth> byPath;
  for (const FolderSize& f : then.folders) byPath[f.path] = {f.path, f.label, f.bytes, 0};
  for (const FolderSize& f : now.folders) {
    FolderGrowth& g = byPath.try_emplace(f.path, FolderGrowth{f.path, f.label, 0, 0}).first->second;
    g.label = f.label;
    g.nowBytes = f.bytes;
  }
  for (auto& [path, g] : byPath) {
    if (g.growth() > 0) {
      report.grew.push_back(std::move(g));
    } else if (g.growth() < 0) {
      report.shrank.push_back(std::move(g));
    }
  }
  // Ties keep the paths' order.
  std::ranges::stable_sort(report.grew, std::ranges::greater{}, &FolderGrowth::growth);
  std::ranges::stable_sort(report.shrank, std::ranges::less{}, &FolderGrowth::growth);
  return report;
}

std::string renderGrowth(const GrowthReport& report, std::size_t shown) {
  const std::string since = localMinute(report.then);
  std::string text;
  if (report.grew.empty()) {
    text = "Nothing grew since " + since + ".\n";
  } else {
    text = "What grew most since " + since + ":\n";
    std::vector<std::vector<std::string>> rows{{"GREW", "THEN", "NOW", "WHAT", "WHERE"}};
    for (std::size_t i = 0; i < std::min(shown, report.grew.size()); ++i) {
      const FolderGrowth& g = report.grew[i];
      rows.push_back({signedBytes(g.growth()), platform::formatFileByteCount(g.thenBytes),
                      platform::formatFileByteCount(g.nowBytes), g.label, g.path});
    }
    text += alignedColumns(rows, "  ");
    if (report.grew.size() > shown) {
      text += "  and " + folderWord(report.grew.size() - shown) + " more that grew less.\n";
    }
  }
  if (!report.shrank.empty()) {
    std::int64_t shrunk = 0;
    for (const FolderGrowth& g : report.shrank) shrunk -= g.growth();
    const FolderGrowth& most = report.shrank.front();
    text += "Shrank: " + folderWord(report.shrank.size()) + ", " +
            platform::formatFileByteCount(shrunk) + " in all (most: " + most.label + ", " +
            signedBytes(most.growth()) + ").\n";
  }
  return text;
}

nlohmann::json growthJson(const GrowthReport& report) {
  nlohmann::json grew = nlohmann::json::array();
  nlohmann::json shrank = nlohmann::json::array();
  for (const FolderGrowth& g : report.grew) grew.push_back(folderJson(g));
  for (const FolderGrowth& g : report.shrank) shrank.push_back(folderJson(g));
  return {{"then", isots(report.then)}, {"thenEpoch", report.then},    {"now", isots(report.now)},
          {"nowEpoch", report.now},     {"baseline", report.baseline}, {"grew", std::move(grew)},
          {"shrank", std::move(shrank)}};
}

}  // namespace brimvale::app
