// The pure parts of a one-tap clean-up run: each step's progress line, the
// service's reclaim result lines, and sizing a plan with `reclaim-scan` so
// only categories with something to free run.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "care/home_guidance.h"

namespace brimvale::care {

// The line shown while `step` runs ("Emptying old items from your Trash…").
[[nodiscard]] std::string_view progressLine(const CareStep& step);
// The step's name in a list or a sentence: its progress line without the
// trailing ellipsis.
[[nodiscard]] std::string_view stepName(const CareStep& step);

// One JSON line of `reclaim {category}` or `reclaim-scan`.
struct ReclaimFigures {
  ReclaimCategory category = ReclaimCategory::kDevcaches;
  std::int64_t bytes = 0;  // freed (reclaim) or freeable (scan)
  std::int64_t items = 0;
  // "only move, never delete" kept the Trash: nothing was or will be freed.
  bool deleteDisabled = false;
  // What the user's excludes kept out of it.
  std::int64_t keptItems = 0;
  std::int64_t keptBytes = 0;
};

// The figures of one line; absent for an error line ({"error":"paused"}),
// an unknown category or text that is not such an object.
[[nodiscard]] std::optional<ReclaimFigures> parseReclaimLine(std::string_view line);

// The result of `reclaim {category}`: its last non-empty output line.
[[nodiscard]] std::optional<ReclaimFigures> parseReclaimResult(std::string_view output);

// The "refused" sentences of a reclaim's last output line: what the service
// left alone because it was unsafe to touch (a category folder that is a link
// into the user's files, another clean-up already running). Absent when none.
[[nodiscard]] std::optional<std::string> reclaimRefusal(std::string_view output);

// One item `reclaim-scan --items` says a reclaim would delete.
struct ReclaimItem {
  ReclaimCategory category = ReclaimCategory::kDevcaches;
  std::string path;
  std::int64_t bytes = 0;
  std::time_t agedFrom = 0;  // when it was last changed, or thrown away for the Trash
  bool operator==(const ReclaimItem&) const = default;
};

// Every item line of `reclaim-scan --items` output, in output order; lines
// without a known category, a path or a size are not items.
[[nodiscard]] std::vector<ReclaimItem> parseReclaimItems(std::string_view output);

// Every category line of `reclaim-scan` output, in output order.
[[nodiscard]] std::vector<ReclaimFigures> parseReclaimScan(std::string_view output);

// The base step; a reclaim step for every scanned category that has bytes to
// free and may be deleted, in devcaches, syslog, trash order; then the old-
// backups and cloud steps of `plan`. Reclaim steps of `plan` are replaced by
// the scan's.
[[nodiscard]] std::vector<CareStep> sizedPlan(const std::vector<CareStep>& plan,
                                              const std::vector<ReclaimFigures>& scan);

// Bytes of old Trash the scan found but may not delete.
[[nodiscard]] std::int64_t untouchedTrashBytes(const std::vector<ReclaimFigures>& scan);

}  // namespace brimvale::care
