// Disk usage as `du -sk` reports it, times 1024: allocated blocks, each hard-
// linked file counted once, unreadable entries skipped. One implementation
// for every size the service measures.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "common/base/tree_walk.h"

namespace brimvale {

// What one walk learns about a tree; the walks of a folder's checks before a
// move all need these, and each walk touches every entry.
struct TreeSurvey {
  // As diskUsageBytes below.
  std::uint64_t allocatedBytes = 0;
  // File lengths of everything but folders (a link counts its own length,
  // each hard link its file's), so the same tree measures the same on file
  // systems with different block sizes.
  std::uint64_t apparentBytes = 0;
  // The most recently modified entry, the root included. An entry as new as
  // the newest so far wins when its relative path sorts later, so an item as
  // new as its folder is the one reported: it is what changed the folder.
  std::int64_t newestNanos = 0;
  std::time_t newestSeconds = 0;
  std::string newestPath;  // relative to the root; empty for the root itself
  // False when a folder below could not be read whole: the figures are a floor.
  bool complete = true;
};

// Surveys `path` and everything below it, without following links, on a few
// threads when it is a folder. nullopt when `path` itself cannot be examined.
[[nodiscard]] std::optional<TreeSurvey> surveyTree(const std::filesystem::path& path);
// The same walk, `alsoVisit` shown every entry below `path` as walkTree shows
// it, for callers that learn more from the tree in the same pass.
[[nodiscard]] std::optional<TreeSurvey> surveyTree(const std::filesystem::path& path,
                                                   const TreeVisit& alsoVisit);

// Allocated bytes of `path` and everything below it, rounded up to whole KiB
// like `du -sk` × 1024. Symbolic links are counted as links, never followed;
// other file systems below `path` are included. nullopt when `path` itself
// cannot be examined (missing, no permission).
[[nodiscard]] std::optional<std::uint64_t> diskUsageBytes(const std::filesystem::path& path);

}  // namespace brimvale
