// `brimvale relocate FOLDER...`: several folders relocated in turn, each
// exactly as `brimvale move` relocates one, stopping at the first that fails.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/mover_commands.h"

namespace brimvale::app {

// Moves one folder as `brimvale move` does and gives its exit status.
using FolderMove = std::function<int(const MoveOptions&)>;

// Runs `move` for each folder with `options` (its folder replaced), in the
// order given, and stops at the first non-zero status; then prints the state
// of every folder: relocated, the status it failed with, or not started.
// Gives that first non-zero status, or 0; 2 when no folder was named.
[[nodiscard]] int relocateCommand(const std::vector<std::string>& folders,
                                  const MoveOptions& options, const FolderMove& move,
                                  std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
