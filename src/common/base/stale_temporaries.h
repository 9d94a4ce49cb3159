// Clearing what interrupted whole-file writes leave behind: a process killed
// between writing "{name}.tmp.{pid}" and renaming it into place leaves that
// file for good unless the next start of either program removes it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace brimvale {

// True when a process with this id is running (or exists under another user).
[[nodiscard]] bool processAlive(pid_t pid);

// Removes every regular file under `stateRoot` (~/.brimvale) whose name is a
// temporary sibling ("{name}.tmp.{pid}") of a process that `alive` says is
// gone; returns what was removed. Looks at most three folders deep, never
// follows a link, and never enters "quarantine" or "junk-media", which hold
// the user's own files. A file of a live process, or of this one, stays.
std::vector<std::filesystem::path> sweepStaleTemporaries(
    const std::filesystem::path& stateRoot, const std::function<bool(pid_t)>& alive = processAlive);

}  // namespace brimvale
