// Finds the rclone program: the copies shipped with Brimvale first, then the
// usual install folders, then whatever `which` finds on the search path.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/base/process.h"

namespace brimvale::cloud {

struct RcloneSearch {
  // The copy shipped with the application: the one the installer hands the
  // service as its RCLONE, `Scripts/bin/rclone` beside the running program.
  std::vector<std::string> bundled;
  std::vector<std::string> installFolders{"/opt/homebrew/bin/rclone", "/usr/local/bin/rclone",
                                          "/usr/bin/rclone"};
  // Asked last, as "{env} which rclone".
  std::string env = "/usr/bin/env";
};

// The search of a running application: `bundled` beside the program itself.
// `programFolder` is the folder of the running program; empty: /proc/self/exe's.
[[nodiscard]] RcloneSearch defaultRcloneSearch(const std::string& programFolder = {});

// The first executable candidate in the order above; nothing when rclone is
// not installed. A `which` that fails or prints only blanks finds nothing.
[[nodiscard]] std::optional<std::string> locateRclone(const RcloneSearch& search,
                                                      const ProcessRunner& runner);

// The first line of `{rclone} version`; nothing when it cannot run or fails.
[[nodiscard]] std::optional<std::string> rcloneVersion(const std::string& rclone,
                                                       const ProcessRunner& runner);

}  // namespace brimvale::cloud
