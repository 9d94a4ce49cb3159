// What the rows of the fault matrix share: the user's tree they move, and
// small checks of where things ended up.
#pragma once

#include <filesystem>
#include <string>

namespace brimvale::faults {

// A small tree of a user's work at `root`: a few folders, files of a few
// kilobytes with distinct contents, a name with a blank and a non-ASCII letter.
void writeUserTree(const std::filesystem::path& root, int files = 12);

// Whether `path` lies strictly below `folder`, compared as written.
[[nodiscard]] bool isBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

}  // namespace brimvale::faults
