// Removing a tree whose copy exists elsewhere, one guarded entry at a time:
// whatever was written during or after the copy, or has no matching copy, is
// left exactly where it is, with the folders that hold it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/replace_guard.h"

namespace brimvale {

struct GuardedRemoval {
  std::size_t removed = 0;             // entries removed, folders included
  std::vector<std::string> changed;    // written during or after the copy (copy it again)
  std::vector<std::string> unmatched;  // the copy is missing or differs
  std::vector<std::string> failed;     // "path: reason": could not be read or removed
  // Relative paths ("." the root), in walk order.
  [[nodiscard]] bool complete() const {
    return changed.empty() && unmatched.empty() && failed.empty();
  }
  // Every path left behind, changed first: what a failure names.
  [[nodiscard]] std::vector<std::string> leftBehind() const;
};

// Removes `doomedRoot` (a folder, a file or a link; never followed) entry by
// entry: each non-folder entry only when `guard` finds its counterpart under
// `keptRoot` identical and confirms it unchanged right before the unlink, and
// each folder only once it is empty. A missing root removes nothing and is
// complete. `files` carries the removals, so tests can make them fail.
[[nodiscard]] GuardedRemoval removeVerifiedTree(const std::filesystem::path& doomedRoot,
                                                const std::filesystem::path& keptRoot,
                                                const ReplaceGuard& guard,
                                                FileOperations& files = FileOperations::real());

// removeVerifiedTree for the entry `name` of the open folder `doomedParentFd`,
// for callers that hold the folder open so that a link planted in its place
// cannot lead the removal elsewhere.
[[nodiscard]] GuardedRemoval removeVerifiedTreeAt(int doomedParentFd, const std::string& name,
                                                  const std::filesystem::path& keptRoot,
                                                  const ReplaceGuard& guard,
                                                  FileOperations& files = FileOperations::real());

// Judges the non-folder entry `name` of the open folder `dirFd` (`rel` its
// path from the root, "." the root itself) right before the walk unlinks it:
// kSafe lets it go; any other verdict leaves it, sorted as the guard's are.
using RemovalCheck =
    std::function<GuardVerdict(int dirFd, const std::string& name, const std::string& rel)>;

// removeVerifiedTree for a copy that is not at hand to compare with (one
// known by its checksums): `check` judges each entry instead of the guard.
[[nodiscard]] GuardedRemoval removeCheckedTree(const std::filesystem::path& doomedRoot,
                                               const RemovalCheck& check,
                                               FileOperations& files = FileOperations::real());

}  // namespace brimvale
