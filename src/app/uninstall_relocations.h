// What is still relocated to the drive, read for uninstalling: the folder
// mover's finished moves and the background service's relocations whose link
// still points at the copy. Uninstalling would leave those links behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/state/paths.h"

namespace brimvale::app {

struct StillRelocated {
  std::string id;                  // the folder move's id; empty for the service's relocations
  std::filesystem::path original;  // where the link is
  std::filesystem::path copy;      // where the data is, on the drive
};

// Folder moves first (newest first), then the service's relocations in the
// order they were made. A place counts once, with its latest record; a
// record whose place no longer holds a link to its copy (moved back, removed
// by hand) is left out. Reads only: no folder is created, not even
// ~/.brimvale, and unreadable records are skipped.
[[nodiscard]] std::vector<StillRelocated> readStillRelocated(const StatePaths& paths);

}  // namespace brimvale::app
