// The user's excludes: folders and name patterns that scans, clean-ups and
// rules leave alone. An entry with a '/' is a folder (absolute, or from the
// home folder with ~ or $HOME) excluding itself and everything below; an
// entry without one is a name pattern (fnmatch) matched against each name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/state/service_config.h"

namespace brimvale {

class ExcludeList {
 public:
  ExcludeList() = default;
  // Relative folders ("a/b" without ~ or $HOME) cannot be placed and are
  // ignored, as are empty entries.
  ExcludeList(const std::vector<std::string>& entries, const std::filesystem::path& home);
  // The EXCLUDES array of a loaded configuration.
  [[nodiscard]] static ExcludeList of(const ServiceConfig& cfg, const std::filesystem::path& home);

  // Whether `path` (absolute) lies in an excluded folder, or one of its names
  // below `within` matches a pattern. Without `within` only the last name is
  // matched: callers that walk a tree prune excluded folders themselves.
  [[nodiscard]] bool excludes(const std::filesystem::path& path,
                              const std::filesystem::path& within = {}) const;
  // excludes(), or an excluded folder or a name matching a pattern lies
  // inside `path`: what a clean-up or a rule may not delete or move whole.
  [[nodiscard]] bool keeps(const std::filesystem::path& path,
                           const std::filesystem::path& within = {}) const;
  [[nodiscard]] bool empty() const { return folders_.empty() && patterns_.empty(); }

 private:
  [[nodiscard]] bool matchesName(const std::filesystem::path& name) const;
  // Whether a name below the folder `folder` (links not followed) matches a pattern.
  [[nodiscard]] bool holdsMatchingName(const std::filesystem::path& folder) const;

  std::vector<std::filesystem::path> folders_;
  std::vector<std::string> patterns_;
};

// What the excludes kept out of a preview or a run.
struct KeptByExcludes {
  std::size_t items = 0;
  std::uint64_t bytes = 0;
};

// "Kept by your excludes: N items, X" with X a size in binary units.
[[nodiscard]] std::string keptByExcludesLine(const KeptByExcludes& kept);

}  // namespace brimvale
