#include "app/core/saved_scans.h"

#include <nlohmann/json.hpp>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/folder_walk.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/service_config.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kScanExtension = ".ndjson";
constexpr std::int64_t kSecondsPerDay = 86400;

// "20261209T082600Z": the scan's UTC start, sortable and free of ':'.
std::string scanStamp(std::time_t at) {
  std::string text = isots(at);
  std::erase_if(text, [](char c) { return c == '-' || c == ':'; });
  return text;
}

std::optional<std::time_t> stampTime(const fs::path& file) {
  const std::string name = file.filename().string();
  if (!name.ends_with(kScanExtension)) return std::nullopt;
  const std::string stamp = name.substr(0, name.size() - kScanExtension.size());
  if (stamp.size() != 16) return std::nullopt;
  const std::string iso = stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 5) +
                          ":" + stamp.substr(11, 2) + ":" + stamp.substr(13);
  return parseIsots(iso);
}

std::vector<std::pair<std::time_t, fs::path>> savedScans(const fs::path& folder) {
  std::vector<std::pair<std::time_t, fs::path>> scans;
  for (const DirEntry& entry : listEntries(folder).value_or(std::vector<DirEntry>{})) {
    if (!entry.isRegular()) continue;
    if (const auto at = stampTime(entry.path)) scans.emplace_back(*at, entry.path);
  }
  return scans;
}

}  // namespace

Result<ScanSizes> parseScanSizes(std::string_view ndjson) {
  ScanSizes scan;
  bool started = false;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start < ndjson.size();) {
    const std::size_t end = std::min(ndjson.find('\n', start), ndjson.size());
    const std::string_view line = ndjson.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    const json row = json::parse(line, nullptr, false);
    if (!row.is_object()) {
      return fail(Errc::kParse, "line " + std::to_string(lineNumber) + " is not a JSON object");
    }
    if (row.value("phase", "") == "started") {
      const auto at = parseIsots(row.value("timestamp", ""));
      if (!at) return fail(Errc::kParse, "the started line has no UTC timestamp");
      scan.at = *at;
      started = true;
    } else if (row.contains("path") && row["path"].is_string()) {
      const auto bytes = row.find("size_bytes");
      if (bytes == row.end() || !bytes->is_number_integer()) {
        return fail(Errc::kParse,
                    "line " + std::to_string(lineNumber) + " gives no size for its folder");
      }
      scan.folders.push_back({row["path"].get<std::string>(),
                              row.value("label", row["path"].get<std::string>()),
                              bytes->get<std::int64_t>()});
    }
  }
  if (!started) return fail(Errc::kParse, "no line says when the scan started");
  return scan;
}

fs::path savedScanPath(const fs::path& folder, std::time_t at) {
  return folder / (scanStamp(at) + std::string(kScanExtension));
}

Result<void> saveScan(const fs::path& folder, std::string_view ndjson, std::time_t at,
                      std::int64_t maxDays, std::time_t now) {
  if (auto made = createDirectories(folder); !made) return made;
  if (auto written = writeFileAtomically(savedScanPath(folder, at), ndjson,
                                         {.durability = Durability::kRebuilt});
      !written) {
    return written;
  }
  for (const auto& [when, file] : savedScans(folder)) {
    if (now - when > maxDays * kSecondsPerDay) {
      if (auto removed = removePath(file); !removed) return std::unexpected(removed.error());
    }
  }
  return {};
}

Result<void> keepScan(const StatePaths& paths, const ScanSizes& scan, std::string_view ndjson) {
  // The service's defaults apply while the configuration cannot be read.
  auto loaded = loadServiceConfig(paths, "");
  const ServiceConfig cfg = loaded ? std::move(*loaded) : ServiceConfig::fromValues({}, "");
  return saveScan(paths.state / kSavedScansFolder, ndjson, scan.at,
                  cfg.getInt(config_keys::kHistoryMaxDays), std::time(nullptr));
}

std::optional<fs::path> savedScanAtOrBefore(const fs::path& folder, std::time_t latest) {
  std::optional<std::pair<std::time_t, fs::path>> best;
  for (auto& scan : savedScans(folder)) {
    if (scan.first <= latest && (!best || scan.first > best->first)) best = std::move(scan);
  }
  if (!best) return std::nullopt;
  return best->second;
}

}  // namespace brimvale::app
