// The switch to a new drive, its record side: translating paths from the old
// working folder to the new one, the checks that the copy holds every
// finished move, and rewriting the move records once the links point across.
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/state/paths.h"

namespace brimvale::mover {

// Where the switch goes from and to, as the transfer job names it.
struct SwitchRoute {
  std::filesystem::path oldWorking;
  std::filesystem::path newWorking;
  std::string newVolumeUUID;  // empty when the service could not read it
};

// `path` with its leading `from` replaced by `to`; nothing when `path` is not
// `from` itself or below it (compared a whole name at a time, so
// "/V/BRIM-A2" is not below "/V/BRIM-A").
[[nodiscard]] std::optional<std::filesystem::path> translatedPath(const std::filesystem::path& path,
                                                                  const std::filesystem::path& from,
                                                                  const std::filesystem::path& to);

// Why the copy cannot be switched to, one of the fixed reasons; nothing when
// it can: the new working folder is there, holds its marker with the new
// drive's volume UUID ("unknown" when the job has none), no folder or app
// move is under way, and every finished one has its copy on the new drive.
[[nodiscard]] std::optional<std::string> copyRefusal(const StatePaths& paths,
                                                     const SwitchRoute& route);

// The original places of every recorded folder and app move: where the
// links that point onto the drive live.
[[nodiscard]] std::vector<std::filesystem::path> relocatedPlaces(const StatePaths& paths);

// Rewrites every folder and app move record that names a path in the old
// working folder: those paths translated and driveUUID set to the new drive's.
// Records already translated are left alone, so running it again is harmless.
// The number of records rewritten, or the first record that could not be.
struct RecordsTranslated {
  int rewritten = 0;
  std::optional<std::string> failedRecord;
};
[[nodiscard]] RecordsTranslated translateRecords(const StatePaths& paths, const SwitchRoute& route);

// The first folder or app move record that still names a path in the old
// working folder (its file), or nothing.
[[nodiscard]] std::optional<std::string> recordNamingOldDrive(const StatePaths& paths,
                                                              const SwitchRoute& route);

}  // namespace brimvale::mover
