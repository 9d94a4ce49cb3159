// What a one-tap clean-up removed, item by item: read from the rows the
// service appended to its action log while the run went on, and kept as the
// run's own record (state/care-last-run-removed.json) for `care --list`.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"

namespace brimvale::care {

inline constexpr std::string_view kRemovalsFile = "care-last-run-removed.json";

struct RemovedItem {
  std::string path;
  std::int64_t bytes = 0;  // 0 when the service could not read its size
  bool operator==(const RemovedItem&) const = default;
};

struct RemovalRecord {
  std::time_t at = 0;
  std::vector<RemovedItem> removed;  // in the order they went
  bool operator==(const RemovalRecord&) const = default;
};

// The deletions among action-log rows ("{time}\t{action}\t{src}\t{dest}\t{bytes}",
// fields escaped): rows whose destination is "-". Moves, short rows and
// rows without a path are skipped.
[[nodiscard]] std::vector<RemovedItem> removalsIn(std::string_view actionLogText);

// The items that went to the Trash instead of being deleted: "trash" rows,
// by the path they had.
[[nodiscard]] std::vector<RemovedItem> trashedIn(std::string_view actionLogText);

// Remembers where the action log ends when the run starts, so the rows the
// run adds can be told from older ones. A log that shrank meanwhile (replaced
// by hand) is read from its start.
class RemovalWatch {
 public:
  explicit RemovalWatch(std::filesystem::path actionLog);
  // The deletions recorded since construction.
  [[nodiscard]] std::vector<RemovedItem> removedSince() const;
  // The items moved to the Trash since construction.
  [[nodiscard]] std::vector<RemovedItem> trashedSince() const;

 private:
  [[nodiscard]] std::string addedText() const;

  std::filesystem::path actionLog_;
  std::uintmax_t startSize_ = 0;
};

// Pretty-printed JSON, sorted keys: {"at": ISO-8601 UTC, "removed": [{"bytes", "path"}]}.
[[nodiscard]] Result<void> storeRemovals(const std::filesystem::path& file,
                                         const RemovalRecord& record);
// Nothing when the file is missing; an error when it cannot be read or
// decoded. Entries without a text path are skipped.
[[nodiscard]] Result<std::optional<RemovalRecord>> loadRemovals(const std::filesystem::path& file);

}  // namespace brimvale::care
