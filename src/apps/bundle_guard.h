// The one guard applied to whole app bundles: which entries a copy of a bundle
// does not match, bringing a copy level with a bundle written while it was
// copied, and retiring one of two versions without losing what differs.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/replace_guard.h"
#include "platform/app_relocation_tools.h"

namespace brimvale::apps {

// Rounds of copying what changed before a move out gives up.
inline constexpr int kCatchUpRounds = 3;

// Entries of a bundle (paths relative to it, "." the bundle itself) that its
// copy does not match.
struct BundleDifferences {
  std::vector<std::string> changed;     // written since the copy began, or still being written
  std::vector<std::string> missing;     // the copy lacks them or holds something else
  std::vector<std::string> unreadable;  // could not be examined or read
  [[nodiscard]] bool none() const {
    return changed.empty() && missing.empty() && unreadable.empty();
  }
  [[nodiscard]] std::vector<std::string> all() const;
};

// Compares every entry below `bundle` with the same path below `copy`: files,
// links and other kinds through `guard` (`bundle` is the side that would go),
// folders by being folders there too (a folder the copy lacks is named once,
// not its contents). Links are never followed. A `bundle` that is a single
// file or link is compared as such and named ".".
[[nodiscard]] BundleDifferences compareBundle(const std::filesystem::path& bundle,
                                              const std::filesystem::path& copy,
                                              const ReplaceGuard& guard);

// Copies again what of `bundle` the copy at `copy` does not match (each entry
// to a hidden name beside its place, then renamed over it), compares again,
// at most kCatchUpRounds rounds. The entries that still differ after the last
// round (none: the copy matches), or why an entry could not be copied.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> catchUp(
    platform::AppRelocationTools& tools, FileOperations& files, const std::filesystem::path& bundle,
    const std::filesystem::path& copy, const ReplaceGuard& guard);

// "Contents/a, Contents/b and 3 more": the entries a sentence names.
[[nodiscard]] std::string namedEntries(const std::vector<std::string>& entries);

// What became of a version that was no longer needed.
struct Retired {
  bool gone = false;  // nothing is left of it
  // Where it, or what of it differed, is kept: a `.kept-<UTC stamp>` name.
  std::optional<std::filesystem::path> keptAt;
  std::vector<std::string> differing;  // its entries that `kept` does not match
  std::string error;                   // set when it could neither go nor be kept aside
};

struct RetireOptions {
  // Where what differs is kept, on the same file system, and the name its
  // `.kept-<UTC stamp>` name starts with; empty: beside `doomed`, under its name.
  std::filesystem::path keepIn;
  std::string keepName;
  // Removes what is left when every entry matched but the user could not
  // remove some (a bundle owned by the system); true when nothing is left.
  std::function<bool(const std::filesystem::path&)> removeRest;
  // The caller compared the two moments ago: no whole comparison first, the
  // guarded removal judges each entry, and only what it leaves is kept aside.
  bool comparedJustNow = false;
};

// Retires `doomed` now that `kept` stands for it. When every entry matches,
// it is removed entry by entry through the guard (removeVerifiedTree);
// otherwise it is renamed whole to `<name>.kept-<UTC stamp>`, and so is
// whatever a removal left because it changed meanwhile (see
// RetireOptions::comparedJustNow). Nothing at `doomed` is gone already.
[[nodiscard]] Retired retire(const std::filesystem::path& doomed, const std::filesystem::path& kept,
                             const ReplaceGuard& guard, FileOperations& files,
                             const RetireOptions& options = {});

}  // namespace brimvale::apps
