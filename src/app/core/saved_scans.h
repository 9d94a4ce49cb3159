// The folder sizes every storage scan leaves behind, one small file a scan
// in state/scans, so a later scan can say what grew since.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/state/paths.h"

namespace brimvale::app {

inline constexpr std::string_view kSavedScansFolder = "scans";
// How far back `scan --compare` and the storage page look unless told otherwise.
inline constexpr int kDefaultCompareDays = 7;

struct FolderSize {
  std::string path;
  std::string label;
  std::int64_t bytes = 0;
};

// One scan: when it started and each folder it measured, in its order.
struct ScanSizes {
  std::time_t at = 0;
  std::vector<FolderSize> folders;
};

// The scan's JSON lines as `brimvale scan --json` prints them. Fails (kParse)
// when a line is not a JSON object or no line says when the scan started.
[[nodiscard]] Result<ScanSizes> parseScanSizes(std::string_view ndjson);

// "{folder}/{YYYYmmddTHHMMSSZ}.ndjson" for a scan started at `at` (UTC).
[[nodiscard]] std::filesystem::path savedScanPath(const std::filesystem::path& folder,
                                                  std::time_t at);

// Writes the scan's lines whole (a reader never sees half of them) and then
// removes the saved scans dated more than `maxDays` days before `now`, as the
// usage history is trimmed.
[[nodiscard]] Result<void> saveScan(const std::filesystem::path& folder, std::string_view ndjson,
                                    std::time_t at, std::int64_t maxDays, std::time_t now);

// saveScan into the state folder, kept as long as HISTORY_MAX_DAYS says.
[[nodiscard]] Result<void> keepScan(const StatePaths& paths, const ScanSizes& scan,
                                    std::string_view ndjson);

// The newest saved scan dated at or before `latest`; nothing when there is none.
[[nodiscard]] std::optional<std::filesystem::path> savedScanAtOrBefore(
    const std::filesystem::path& folder, std::time_t latest);

}  // namespace brimvale::app
