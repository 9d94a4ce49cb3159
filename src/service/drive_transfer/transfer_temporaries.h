// The temporary files a killed copy leaves in the destination working folder
// (the copy tool writes each file under a hidden temporary name and renames
// it when complete), found and removed before the copy is checked.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace brimvale::service {

// The name of the file that `name` is the copy tool's temporary of: for
// ".<file>.XXXXXX" (six letters or digits) that is <file>; nothing for any
// other name.
[[nodiscard]] std::optional<std::string_view> temporaryOf(std::string_view name);

// Removes, below `dest`, every regular file whose name is the temporary of a
// file in the same folder of `source`, unless `source` holds an entry of the
// temporary's own name there. Links are never followed. Returns the removed
// paths, relative to `dest`; a file that cannot be removed stays and is left
// out.
std::vector<std::filesystem::path> removeCopyTemporaries(const std::filesystem::path& source,
                                                         const std::filesystem::path& dest);

}  // namespace brimvale::service
