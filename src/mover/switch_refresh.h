// The switch to a new drive, its data side: before a link is re-pointed, the
// copy it will lead to is brought up to what it leads to now. A program may
// have written through the link after the transfer copied the file; that
// write must not stay behind on a drive about to be detached.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/replace_guard.h"

namespace brimvale::mover {

struct CopyRefresh {
  // Files of the new copy that differed and were set aside as
  // "<name>.kept-<UTC stamp>" before the current version was copied across.
  std::vector<std::filesystem::path> keptAside;
  // Files copied across again.
  std::vector<std::filesystem::path> refreshed;
  // Why the copy could not be brought up to date; nothing was set aside or
  // half written for that file.
  std::optional<std::string> error;
};

// Compares `current` (what a link leads to now: a file, or a folder walked
// whole, links not followed) with `copy` one file at a time through `guard`,
// `current` being the side that will no longer be used. Every file the guard
// does not find identical is copied across again (its differing copy kept
// aside first) and checked byte for byte; folders and links missing from the
// copy are made. Files only the copy has are left alone. A missing `current`
// leaves the copy as it is.
[[nodiscard]] CopyRefresh refreshCopy(const std::filesystem::path& current,
                                      const std::filesystem::path& copy, const ReplaceGuard& guard);

}  // namespace brimvale::mover
