// The clean-up of a relocation: every file of the source tree becomes a link
// to its copy in the destination tree, so the old paths keep working.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace brimvale::mover {

struct WalkResult {
  int relinked = 0;
  int skipped = 0;  // folders, links and anything but plain files
  int errors = 0;
  std::optional<std::string> firstError;  // of the first failing path in name order
  bool singleFile = false;                // `src` was one file, not a folder
};

// Replaces each regular file below `src` with a link to the same relative
// path under `dst`, each in one rename so a crash never leaves a name
// missing. A file without a counterpart is left alone and counted as an
// error; a `src` that is already a link is skipped (done on an earlier run).
[[nodiscard]] WalkResult relinkTree(const std::filesystem::path& src, const std::filesystem::path& dst);

}  // namespace brimvale::mover
