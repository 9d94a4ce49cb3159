// What grew between two storage scans: each folder's size then and now,
// the largest growth first, and what shrank beside it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/core/saved_scans.h"

namespace brimvale::app {

struct FolderGrowth {
  std::string path;
  std::string label;
  std::int64_t thenBytes = 0;  // 0 for a folder the earlier scan did not find
  std::int64_t nowBytes = 0;   // 0 for a folder gone since
  [[nodiscard]] std::int64_t growth() const { return nowBytes - thenBytes; }
};

struct GrowthReport {
  std::time_t then = 0;
  std::time_t now = 0;
  std::string baseline;              // the saved scan or file compared against
  std::vector<FolderGrowth> grew;    // largest growth first
  std::vector<FolderGrowth> shrank;  // largest shrinking first
};

// Folders matched by path; an unchanged folder is in neither list.
[[nodiscard]] GrowthReport compareScans(const ScanSizes& then, const ScanSizes& now);

// The folders that grew most (at most `shown`), sizes then and now and the
// growth, then one line for what shrank.
[[nodiscard]] std::string renderGrowth(const GrowthReport& report, std::size_t shown);

// {"then", "thenEpoch", "now", "nowEpoch", "baseline", "grew": [...], "shrank": [...]},
// each folder as {"path", "label", "thenBytes", "nowBytes", "growthBytes"}.
[[nodiscard]] nlohmann::json growthJson(const GrowthReport& report);

}  // namespace brimvale::app
