// The clean-up of a relocation: every file of the source tree becomes a link
// to its copy in the destination tree, so the old paths keep working.
#pragma once
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/best_effort.h"
#include "common/base/file_operations.h"
#include "common/base/replace_guard.h"

namespace brimvale::mover {

// What keeps `src` from being finished as a tree of links into `dst`.
struct LinkedTreeCheck {
  // Entries that are neither folders nor links (written since the walk):
  // relative paths, sorted; "." when `src` itself is such an entry.
  std::vector<std::string> notLinked;
  // Links into `dst` whose copy is not there.
  std::vector<std::string> dangling;
  // `src` is missing, or a link that does not lead to `dst`.
  bool replaced = false;
  // A folder could not be listed: the check is not complete.
  bool unreadable = false;
  [[nodiscard]] bool holds() const {
    return notLinked.empty() && dangling.empty() && !replaced && !unreadable;
  }
};
struct WalkResult {
  int relinked = 0;
  int skipped = 0;  // folders, links and anything but plain files
  int errors = 0;
  std::optional<std::string> firstError;  // of the first failing path in name order
  bool singleFile = false;                // `src` was one file, not a folder
  // Files the guard would not replace: written during or after the copy, or
  // without a matching copy (new ones). They stay as they are, to be copied
  // again. Relative paths ("." for a single file), sorted.
  std::vector<std::string> changed;
  // What checkLinkedTree would find, each folder looked at again right after
  // its files became links (so no second walk is needed).
  LinkedTreeCheck linkedCheck;
};

// Told after each file that became a link: how many have so far and how many
// plain files the source held when the walk began. Called from the walk's
// threads, each count once, in no fixed order.
using RelinkProgress = std::function<void(std::size_t linked, std::size_t total)>;

// What the walk changes the disk through, where it notes the spare links it
// could not remove (they are tried again on the next run), what decides that
// a file may become a link, and who hears of its progress (nobody when
// empty; the files are then not counted first).
struct RelinkSeams {
  FileOperations& files;
  const DiagnosticsLog& diagnostics;
  const ReplaceGuard& guard;
  RelinkProgress progress = {};
  // The move keeps the drive's newer version of a file: the older one at
  // home is copied beside it as <name>.kept-<stamp> before the link replaces it.
  bool keepNewerCopy = false;
  // How many plain files the source holds, when a walk right before counted
  // them (the progress's total); they are counted first otherwise.
  std::optional<std::size_t> plainFiles = {};
};

// Replaces each regular file below `src` with a link to the same relative
// path under `dst`, each in one rename so a crash never leaves a name
// missing, and each only when `guard` finds the copy identical and confirms
// the file unchanged right before that rename. A file it refuses (or one
// without a counterpart) is left alone and listed in `changed`; a `src` that
// is already a link is skipped (done on an earlier run).
// Each link is made under a short temporary name first (so names of up to
// NAME_MAX bytes work); temporary links a killed earlier run left behind are
// removed on the way (see isRelinkLeftover). The test-build stop point
// "mover:relinked" is passed after every file.
[[nodiscard]] WalkResult relinkTree(const std::filesystem::path& src,
                                    const std::filesystem::path& dst, const RelinkSeams& seams);

// Walks `src` without following links: the post-condition of a relocation.
[[nodiscard]] LinkedTreeCheck checkLinkedTree(const std::filesystem::path& src,
                                              const std::filesystem::path& dst);

// ".bvl-" and 12 random hexadecimal digits: a temporary link name short
// enough to fit wherever the name it replaces fits, made beside a link that
// is then swapped into place by rename; isRelinkLeftover recognises it.
[[nodiscard]] std::string temporaryLinkName();

// Whether `name`, a link in the source folder whose copy lives in
// `dstFolder`, is a temporary link of an interrupted relink: one of the
// walk's own temporary names (".bvl-" and 12 hexadecimal digits, or the
// older "<name>.brimvale-link") whose target lies inside `dstFolder`.
// Nothing else is ever treated as a leftover.
[[nodiscard]] bool isRelinkLeftover(std::string_view name, std::string_view linkTarget,
                                    const std::filesystem::path& dstFolder);

}  // namespace brimvale::mover
