// What a folder holds that leads into the drive: the census of a folder about
// to be moved (how many of its files are links into given folders already, so
// a folder that is on the drive in part is never copied onto its own copy),
// and every link below a root that leads into a folder.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/disk_usage.h"

namespace brimvale::mover {

struct LinkCensus {
  // Everything below the root but folders (links included); a root that is
  // a file or a link counts as one.
  std::uint64_t files = 0;
  std::uint64_t regularFiles = 0;
  // Per folder asked about: the links whose target lies in it (or is it),
  // a relative target taken from the link's own folder, links not followed.
  std::vector<std::uint64_t> linksInto;
  // Per folder: one such link, relative to the root ("" for the root itself).
  std::vector<std::optional<std::string>> exampleInto;
  // A folder below the root could not be listed; the counts are then a floor.
  bool incomplete = false;
};

// Walks `root` without following links, on a few threads. Nothing when `root`
// itself cannot be examined.
[[nodiscard]] std::optional<LinkCensus> takeLinkCensus(
    const std::filesystem::path& root, const std::vector<std::filesystem::path>& folders);

// The census and the survey (sizes, newest write) of a folder about to be
// moved, from one walk of it. Both nothing when `root` cannot be examined.
struct SurveyedCensus {
  std::optional<TreeSurvey> survey;
  std::optional<LinkCensus> census;
};
[[nodiscard]] SurveyedCensus surveyWithLinkCensus(
    const std::filesystem::path& root, const std::vector<std::filesystem::path>& folders);

// Whether anything at `home` (the folder or what is below it) leads into `copy`; a home that
// cannot be looked through completely counts as leading there.
[[nodiscard]] bool anythingLeadsInto(const std::filesystem::path& home,
                                     const std::filesystem::path& copy);

struct LinkInto {
  std::filesystem::path link;
  // Where it leads, absolute and lexically normal: a relative target is taken
  // from the link's own folder. Whether anything is there is not looked at.
  std::filesystem::path target;
  bool operator==(const LinkInto&) const = default;
};

struct LinksInto {
  std::vector<LinkInto> links;  // by link path
  // Folders that could not be listed (or a root that could not be examined):
  // what they hold is unknown, so no caller may conclude "no link is left".
  std::vector<std::filesystem::path> unreadable;
  bool timedOut = false;  // the deadline came first: the rest was not looked at
  [[nodiscard]] bool complete() const { return unreadable.empty() && !timedOut; }
};

struct LinkWalkLimits {
  // Folders not yet listed by then are not listed at all (timedOut).
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// Every link at or below `root` whose target is one of `folders` or lies
// inside one, dangling links included (an unplugged drive's links still
// count), at any depth, on a few threads. Links are not followed and the
// folders themselves are not entered. A missing root holds no links. Compares
// with each folder as written and as resolved, so a target written through
// another spelling of the drive's path is found too.
[[nodiscard]] LinksInto linksInto(const std::filesystem::path& root,
                                  const std::vector<std::filesystem::path>& folders,
                                  LinkWalkLimits limits = {});
[[nodiscard]] inline LinksInto linksInto(const std::filesystem::path& root,
                                         const std::filesystem::path& folder,
                                         LinkWalkLimits limits = {}) {
  return linksInto(root, std::vector<std::filesystem::path>{folder}, limits);
}

}  // namespace brimvale::mover
