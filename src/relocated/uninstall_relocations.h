// What is still relocated to the drive, read for uninstalling: the list
// `brimvale relocated` shows (its records, and the links the home folder
// still holds into the drive, connected or not) and the apps living on the
// drive, each with the command that brings it home. Uninstalling would leave
// their links behind, and --purge the records that find their copies.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/state/paths.h"

namespace brimvale::relocated {

struct StillRelocated {
  std::string name;                // the path at home, or the app's name
  std::filesystem::path original;  // where the link is
  std::filesystem::path copy;      // where the data is, on the drive
  std::string command;             // brings it home (or clears away a broken one)
};

struct RelocationCheck {
  std::vector<StillRelocated> items;  // folders as `brimvale relocated` lists them, then apps
  // Why the list may miss something (a folder could not be looked in, the
  // walk ran out of time), as a sentence; empty when it is complete.
  std::string incomplete;
};

// Reads only, except that it forgets the record of a relocation whose move
// back had finished (as the list does). Without ~/.brimvale/state there is
// nothing to read and nothing is created. `isMounted` tells whether a volume
// is mounted on a path; empty: whether the path is a folder.
[[nodiscard]] RelocationCheck readStillRelocated(
    const StatePaths& paths, const std::string& computerName,
    std::function<bool(const std::filesystem::path&)> isMounted = {});

}  // namespace brimvale::relocated
