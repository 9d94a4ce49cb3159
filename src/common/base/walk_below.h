// The one walk through everything below a folder (sizing aside, see tree_walk.h):
// the caller states how deep, whether links are followed, what an unreadable
// folder does and when to give up, and the result says whether all was seen.
#pragma once

#include <dirent.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace brimvale {

enum class FollowLinks { kNo, kYes };

// What an entry that cannot be read does to the walk: it is passed over and
// named in the result, or the walk ends there. Either way it is named.
enum class OnReadError { kSkipAndReport, kStop };

struct WalkOptions {
  // Levels visited: 1 is the root's own entries only; none means no limit.
  std::optional<int> maxDepth;
  // kYes enters links to folders (each folder once, so loops end); the root
  // itself is always followed when it is a link.
  FollowLinks links = FollowLinks::kNo;
  OnReadError onError = OnReadError::kSkipAndReport;
  // Folders not yet listed by then are not listed at all (timedOut).
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // Folders that are visited but not entered, compared lexically normal.
  std::vector<std::filesystem::path> skip;
  // Folders listed at once; the visit must be safe to call from as many
  // threads (WalkEntry::thread tells them apart).
  unsigned threads = 1;
};

struct WalkEntry {
  const std::filesystem::path& path;  // the root's path joined with the names below it
  std::string_view name;
  int depth = 1;       // 1 for the root's own entries
  int folderFd = -1;   // the open folder holding the entry, for calls relative to it
  unsigned char type;  // DT_* of the entry itself (DT_LNK for a link); DT_UNKNOWN if it vanished
  unsigned thread = 0;
};

enum class WalkStep {
  kContinue,
  kDoNotEnter,  // a folder: its entries are not visited
  kUnreadable,  // the visit could not read this entry (errno says why): the error rule applies
};

struct WalkReport {
  // Folders that could not be listed and entries a visit could not read,
  // sorted. A folder or entry that vanished during the walk is not here.
  std::vector<std::filesystem::path> unreadable;
  std::error_code firstError;  // why the first of them, in time, could not be read
  bool stopped = false;        // ended at the first unreadable entry (OnReadError::kStop)
  bool timedOut = false;       // the deadline came first: the rest was not looked at
  // False whenever something below the root went unseen: no caller may then
  // take "not found" for "not there".
  [[nodiscard]] bool complete() const { return unreadable.empty() && !timedOut; }
};

// Visits every entry below `root` (not the root), each folder's listing read
// whole before its entries are visited, so a visit may remove the entry it is
// given. With one thread, folders are taken breadth first; callers that need
// an order sort. A missing root, or one that is not a folder, holds
// nothing and the walk is complete.
using WalkVisit = std::function<WalkStep(const WalkEntry&)>;
[[nodiscard]] WalkReport walkBelow(const std::filesystem::path& root, const WalkOptions& options,
                                   const WalkVisit& visit);

struct FoundLink {
  std::filesystem::path link;
  std::filesystem::path target;  // as stored in the link, not resolved
  bool operator==(const FoundLink&) const = default;
};

struct FoundLinks {
  std::vector<FoundLink> links;  // by link path
  WalkReport walk;               // a link whose target cannot be read is in walk.unreadable
};

// Every symbolic link below `root` within the options' limits, dangling ones
// included. Links are only followed when the options say so.
[[nodiscard]] FoundLinks findLinksUnder(const std::filesystem::path& root,
                                        const WalkOptions& options = {});

}  // namespace brimvale
