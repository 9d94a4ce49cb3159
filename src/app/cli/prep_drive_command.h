// `brimvale prep-drive [--auto] [DRIVE]`: lays out the drive for Brimvale by
// running the service's own `recover`, after refusing a drive that already
// holds another computer's Brimvale folder unless told otherwise.
#pragma once

#include <filesystem>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"
#include "common/state/paths.h"

namespace brimvale::app {

struct PrepDriveOptions {
  std::string drive;                // empty: the configured drive
  bool autoYes = false;             // --auto: no question (the setup wizard)
  bool dryRun = false;              // say what would be done only
  bool allowOtherComputer = false;  // lay out beside another computer's folder
};

struct PrepDriveHost {
  StatePaths paths;
  std::filesystem::path mount;  // the configured drive; empty when none is known
  std::string driveUnknown;     // why none is known, one sentence
  std::string computerName;
  // Runs one service subcommand and gives its result.
  std::function<ProcessResult(const std::vector<std::string>&)> service;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool interactive = false;
};

// The names of the working folders of other computers on the drive at
// `mount`: folders named "BRIM-…" holding the marker file, other than `ours`.
[[nodiscard]] std::vector<std::string> otherWorkingFolders(const std::filesystem::path& mount,
                                                           std::string_view ours);

// 0 when laid out (or only the plan was shown), 1 when refused, when no
// drive is named or configured, or `recover` failed, 2 when DRIVE is not a
// full path.
[[nodiscard]] int prepDriveCommand(PrepDriveHost& host, const PrepDriveOptions& options);

}  // namespace brimvale::app
